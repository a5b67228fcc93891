#include "tests/coordinator/ScriptedSession.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>

#include "zrlib/strings/Strings.h"

namespace zrtest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ZavediDedozozuriz::IDLErrorID;

// Below omniORB's default 2 MiB message limit, with room for the headers.
const CORBA::ULong kChunk = 1024 * 1024;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Narrow(const std::wstring& text) { return ZRLib::strings::WstrToUTF8(text); }

const char* ResultName(IDLErrorID result) {
  static const char* const names[] = {"SUCCESS",       "FAILED",     "CRITICAL",      "PATH_NOT_FOUND",
                                      "ACCESS_DENIED", "HANDLE_EOF", "NOT_SUPPORTED", "DISK_FULL",
                                      "SESSION_LIMIT", "STOPPED"};
  const unsigned index = static_cast<unsigned>(result);
  return index < sizeof(names) / sizeof(names[0]) ? names[index] : "?";
}

// Rewrites one progress line in place: bytes so far and the rate.
void Progress(std::ostream& out, const char* what, unsigned long long bytes, Clock::time_point start) {
  const double mib = bytes / 1048576.0;
  const double seconds = Seconds(start);
  out << "\r  " << what << ": " << std::fixed << std::setprecision(1) << mib << " MiB";
  if (seconds > 0) out << " (" << std::setprecision(1) << mib / seconds << " MiB/s)";
  out << std::flush;
}

class Script {
 public:
  Script(ZavediDedozozuriz::Workstation_ptr workstation, Tessarine::Session_ptr session,
         Tessarine::Log_ptr log, std::ostream& out)
      : workstation_(workstation), coordinatorSession_(session), log_(log), out_(out) {}

  ~Script() {
    if (!CORBA::is_nil(session_)) Close();
  }

  bool Run(const ScriptStep& step) {
    const Clock::time_point start = Clock::now();
    bool ok = false;
    try {
      switch (step.kind) {
        case ScriptStep::Kind::kOpen: ok = Open(); break;
        case ScriptStep::Kind::kList: ok = List(step.path); break;
        case ScriptStep::Kind::kBackup: ok = Backup(step.path, step.file); break;
        case ScriptStep::Kind::kRestore: ok = Restore(step.file, step.path); break;
        case ScriptStep::Kind::kCompare: ok = Compare(step.file, step.other); break;
        case ScriptStep::Kind::kClose: ok = Close(); break;
      }
    } catch (const CORBA::Exception& e) {
      out_ << "  CORBA exception " << e._name() << "\n";
    } catch (const std::exception& e) {
      out_ << "  error: " << e.what() << "\n";
    }
    out_ << (ok ? "  ok" : "  FAILED") << " in " << std::fixed << std::setprecision(2) << Seconds(start)
         << " s\n"
         << std::flush;
    return ok;
  }

 private:
  bool Check(const char* what, IDLErrorID result) {
    if (result == ZavediDedozozuriz::SUCCESS) return true;
    out_ << "  " << what << " returned " << ResultName(result) << "\n";
    return false;
  }

  bool Open() {
    out_ << "open session\n";
    session_ = workstation_->OpenSession(coordinatorSession_, log_);
    return !CORBA::is_nil(session_);
  }

  bool Close() {
    out_ << "close session\n";
    if (CORBA::is_nil(session_)) return false;
    workstation_->CloseSession(session_);
    session_ = ZavediDedozozuriz::Session::_nil();
    // CloseSession is oneway: a ping afterwards waits until it ran.
    workstation_->_non_existent();
    return true;
  }

  bool List(const std::wstring& path) {
    out_ << "list \"" << Narrow(path) << "\"\n";
    ZavediDedozozuriz::IDLBackupDataRead_var reader = session_->GetReadInterface();
    ZavediDedozozuriz::List_var entries;
    if (!Check("GetListing", reader->GetListing(path.c_str(), entries.out()))) return false;
    for (CORBA::ULong i = 0; i < entries->length(); ++i) {
      const ZavediDedozozuriz::IDLFileInfo& entry = entries[i];
      const bool folder = (entry.Attrs.Type & 16) != 0;
      out_ << "    " << (folder ? "<dir> " : "      ") << Narrow(entry.Name.in() ? entry.Name.in() : L"")
           << "\n";
    }
    return true;
  }

  bool Backup(const std::wstring& path, const std::string& file) {
    out_ << "back up \"" << Narrow(path) << "\" into " << file << "\n";
    ZavediDedozozuriz::IDLBackupDataRead_var reader = session_->GetReadInterface();
    CORBA::ULong handle = 0;
    if (!Check("OpenFile", reader->OpenFile(path.c_str(), ZavediDedozozuriz::Read, handle))) return false;
    std::ofstream target(file, std::ios::binary | std::ios::trunc);
    const Clock::time_point start = Clock::now();
    unsigned long long total = 0;
    IDLErrorID result = ZavediDedozozuriz::SUCCESS;
    Clock::time_point shown;
    for (;;) {
      Tessarine::BinaryData data;
      data.length(kChunk);
      CORBA::ULong size = kChunk;
      result = reader->ReadFile(data, size, handle);
      if (result != ZavediDedozozuriz::SUCCESS && result != ZavediDedozozuriz::HANDLE_EOF) break;
      if (size > data.length()) size = data.length();
      target.write(reinterpret_cast<const char*>(data.get_buffer()), size);
      total += size;
      if (Clock::now() - shown > std::chrono::milliseconds(200)) {
        Progress(out_, "read", total, start);
        shown = Clock::now();
      }
      if (result == ZavediDedozozuriz::HANDLE_EOF || size == 0) break;
    }
    Progress(out_, "read", total, start);
    out_ << "\n";
    const bool read = result == ZavediDedozozuriz::SUCCESS || result == ZavediDedozozuriz::HANDLE_EOF;
    if (!read) Check("ReadFile", result);
    const bool closed = Check("CloseFile", reader->CloseFile(handle));
    target.close();
    return read && closed && target.good();
  }

  bool Restore(const std::string& file, const std::wstring& path) {
    out_ << "restore " << file << " into \"" << Narrow(path) << "\"\n";
    std::ifstream source(file, std::ios::binary);
    if (!source) {
      out_ << "  cannot read " << file << "\n";
      return false;
    }
    ZavediDedozozuriz::IDLBackupDataWrite_var writer = session_->GetWriteInterface();
    CORBA::ULong handle = 0;
    if (!Check("OpenFile", writer->OpenFile(path.c_str(), ZavediDedozozuriz::Write, handle))) return false;
    const Clock::time_point start = Clock::now();
    unsigned long long total = 0;
    bool written = true;
    Clock::time_point shown;
    std::vector<char> buffer(kChunk);
    while (source) {
      source.read(buffer.data(), buffer.size());
      const CORBA::ULong got = static_cast<CORBA::ULong>(source.gcount());
      if (got == 0) break;
      Tessarine::BinaryData data(got, got, reinterpret_cast<CORBA::Octet*>(buffer.data()), false);
      CORBA::ULong size = got;
      if (!Check("WriteFile", writer->WriteFile(data, size, handle)) || size != got) {
        written = false;
        break;
      }
      total += got;
      if (Clock::now() - shown > std::chrono::milliseconds(200)) {
        Progress(out_, "written", total, start);
        shown = Clock::now();
      }
    }
    Progress(out_, "written", total, start);
    out_ << "\n  closing (the restore runs now)...\n" << std::flush;
    const bool closed = Check("CloseFile", writer->CloseFile(handle));
    return written && closed;
  }

  bool Compare(const std::string& first, const std::string& second) {
    out_ << "compare " << first << " with " << second << "\n";
    std::map<std::string, fs::path> a, b;
    for (const auto& entry : fs::recursive_directory_iterator(first)) {
      if (entry.is_regular_file()) a[fs::relative(entry.path(), first).string()] = entry.path();
    }
    for (const auto& entry : fs::recursive_directory_iterator(second)) {
      if (entry.is_regular_file()) b[fs::relative(entry.path(), second).string()] = entry.path();
    }
    bool same = a.size() == b.size();
    unsigned long long bytes = 0;
    for (const auto& [name, path] : a) {
      const auto other = b.find(name);
      if (other == b.end() || !SameContent(path, other->second, bytes)) {
        out_ << "  differs: " << name << "\n";
        same = false;
      }
    }
    out_ << "  " << a.size() << " files, " << bytes << " bytes " << (same ? "identical" : "NOT identical")
         << "\n";
    return same;
  }

  static bool SameContent(const fs::path& a, const fs::path& b, unsigned long long& bytes) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(kChunk), q(kChunk);
    for (;;) {
      x.read(p.data(), p.size());
      y.read(q.data(), q.size());
      if (x.gcount() != y.gcount()) return false;
      if (x.gcount() == 0) return true;
      if (!std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
      bytes += static_cast<unsigned long long>(x.gcount());
    }
  }

  ZavediDedozozuriz::Workstation_ptr workstation_;
  Tessarine::Session_ptr coordinatorSession_;
  Tessarine::Log_ptr log_;
  std::ostream& out_;
  ZavediDedozozuriz::Session_var session_;
};

}  // namespace

bool RunScript(ZavediDedozozuriz::Workstation_ptr workstation, Tessarine::Session_ptr session,
               Tessarine::Log_ptr log, const std::vector<ScriptStep>& steps, std::ostream& out) {
  const Clock::time_point start = Clock::now();
  Script script(workstation, session, log, out);
  bool ok = true;
  for (const ScriptStep& step : steps) {
    if (!script.Run(step)) {
      ok = false;
      break;
    }
  }
  out << (ok ? "script done" : "script FAILED") << " in " << std::fixed << std::setprecision(2)
      << Seconds(start) << " s\n"
      << std::flush;
  return ok;
}

}  // namespace zrtest
