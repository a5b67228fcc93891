// Factory functions a plug-in or filter library exports, found by name.
//
// Every object a factory returns is released only through its own Destroy(),
// so the library that allocated it also frees it. A factory fails only by
// throwing std::bad_alloc. The ILog and ILink objects passed in stay owned by
// the agent and must outlive the object.

#pragma once

#include "plugin-api/IBackupDataFilter.h"
#include "plugin-api/IBackupDataRead.h"
#include "plugin-api/IBackupDataWrite.h"
#include "plugin-api/ILog.h"
#include "plugin-api/IPluginInfo.h"

// Marks a factory definition in a library: unmangled name, visible outside the
// library although the library hides everything else.
#define ZR_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// Plug-in library: a new description of the plug-in.
using GetPluginInfoFn = IPluginInfo* (*)();
// Plug-in library: a new plug-in object seen through its read interface.
using GetBackupDataReadFn = IBackupDataRead* (*)(ILog* log, ILink* link);
// Plug-in library: a new plug-in object seen through its write interface.
using GetBackupDataWriteFn = IBackupDataWrite* (*)(ILog* log, ILink* link);
// Filter library: a new description of the filter (only name and version are used).
using GetFilterInfoFn = IPluginInfo* (*)();
// Filter library: a new filter object, not yet chained.
using GetFilterFn = IBackupDataFilter* (*)(ILog* log, ILink* link);

// Symbol names of the factories.
inline constexpr char kGetPluginInfoName[] = "GetPluginInfo";
inline constexpr char kGetBackupDataReadName[] = "GetBackupDataRead";
inline constexpr char kGetBackupDataWriteName[] = "GetBackupDataWrite";
inline constexpr char kGetFilterInfoName[] = "GetFilterInfo";
inline constexpr char kGetFilterName[] = "GetFilter";

// Declarations a library's definitions must match (a library defines only the
// ones it offers, each with ZR_PLUGIN_EXPORT).
ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo();
ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog* log, ILink* link);
ZR_PLUGIN_EXPORT IBackupDataWrite* GetBackupDataWrite(ILog* log, ILink* link);
ZR_PLUGIN_EXPORT IPluginInfo* GetFilterInfo();
ZR_PLUGIN_EXPORT IBackupDataFilter* GetFilter(ILog* log, ILink* link);
