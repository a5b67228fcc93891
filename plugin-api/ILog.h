// Callback objects the agent hands to every plug-in and filter.
//
// Both stay owned by the agent: a plug-in keeps the pointers and never deletes
// them, which is why the destructors are protected and not virtual.

#pragma once

#include <string>

#include "plugin-api/FileTypes.h"

// Receives a plug-in's log lines.
class ILog {
 public:
  ILog(const ILog&) = delete;
  ILog& operator=(const ILog&) = delete;

  // Writes one line at `level`. `text` is only valid during the call.
  // Thread: the agent's object also accepts calls from a plug-in's own thread.
  virtual void Write(LogEvent::ID level, const wchar_t* text) = 0;

 protected:
  ILog() = default;
  ~ILog() = default;
};

// Named settings values of the plug-in or filter and its connection.
class ILink {
 public:
  ILink(const ILink&) = delete;
  ILink& operator=(const ILink&) = delete;

  // Stores the value of `name` in `value`; false when there is none.
  // Thread: the agent's thread that called the plug-in.
  virtual bool GetValue(const wchar_t* name, std::wstring& value) = 0;
  // Stores `value` under `name`; false when it could not be stored.
  // Thread: the agent's thread that called the plug-in.
  virtual bool SetValue(const wchar_t* name, const std::wstring& value) = 0;

 protected:
  ILink() = default;
  ~ILink() = default;
};
