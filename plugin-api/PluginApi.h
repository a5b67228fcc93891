// Everything a plug-in, a filter or their host needs from the plug-in interface.

#pragma once

#include "plugin-api/FileTypes.h"
#include "plugin-api/IBackupDataFilter.h"
#include "plugin-api/IBackupDataRead.h"
#include "plugin-api/IBackupDataWrite.h"
#include "plugin-api/ILog.h"
#include "plugin-api/IPluginInfo.h"
#include "plugin-api/PluginBase.h"
#include "plugin-api/PluginExports.h"
#include "plugin-api/ResultCodes.h"
