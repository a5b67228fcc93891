// Marshalling of every type of the remote interfaces through CDR memory
// streams and Anys, and the repository ids, enumerator names and struct
// member names that travel on the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "Launcher.hh"
#include "Tessarine.hh"
#include "TessarineCommon.hh"
#include "ZavediDedozozuriz.hh"
#include "idl/WideCodeSet.h"
#include "tests/support/WideText.h"

namespace {

namespace TS = Tessarine;
namespace ZD = ZavediDedozozuriz;

CORBA::ORB_ptr g_orb = CORBA::ORB::_nil();
PortableServer::POA_ptr g_root = PortableServer::POA::_nil();

// One ORB for the whole test program, with UCS-4 as the native wide code set.
class OrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int argc = 0;
    const char* options[][2] = {{"nativeWCharCodeSet", zr::NativeWideCodeSet()}, {nullptr, nullptr}};
    g_orb = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
    CORBA::Object_var obj = g_orb->resolve_initial_references("RootPOA");
    g_root = PortableServer::POA::_narrow(obj);
  }
  void TearDown() override {
    CORBA::release(g_root);
    g_orb->destroy();
    CORBA::release(g_orb);
  }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

// A wide string of `count` characters that cycles through ASCII, Latin,
// CJK and characters beyond U+FFFF.
std::wstring MixedText(size_t count) {
  static const wchar_t kChars[] = {L'a', L'\u00e9', L'\u4e2d', L'\U0001F600', L'\U0010FFFF', L' ', L'\\'};
  std::wstring text;
  text.reserve(count);
  for (size_t i = 0; i < count; ++i) text.push_back(kChars[i % (sizeof(kChars) / sizeof(kChars[0]))]);
  return text;
}

const std::wstring kAstral = L"\U0001F600 smile \U00010000 \U0010FFFF end";

// Marshals `value` into a fresh stream, unmarshals it back and checks that
// the whole stream was consumed.
template <typename T>
T RoundTrip(const T& value) {
  cdrMemoryStream stream;
  value >>= stream;
  stream.rewindInputPtr();
  T out;
  out <<= stream;
  EXPECT_EQ(stream.currentInputPtr(), stream.bufSize());
  return out;
}

template <typename E>
CORBA::ULong EnumOnWire(E value) {
  cdrMemoryStream stream;
  value >>= stream;
  EXPECT_EQ(stream.bufSize(), 4u);
  stream.rewindInputPtr();
  CORBA::ULong wire = 0;
  wire <<= stream;
  return wire;
}

using zrtest::Wide;

// Enumerator names in TypeCode order.
std::vector<std::string> EnumNames(CORBA::TypeCode_ptr tc) {
  std::vector<std::string> names;
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i) names.push_back(tc->member_name(i));
  return names;
}

// Member names of a struct or exception TypeCode.
std::vector<std::string> MemberNames(CORBA::TypeCode_ptr tc) { return EnumNames(tc); }

// ---------------------------------------------------------------------------

// The UCS-4 converter lives in omniCodeSets4, which the linker would drop as
// unused unless the stubs library forces it in.
TEST(Linking, CodeSetsLibraryIsLoaded) {
  std::ifstream maps("/proc/self/maps");
  const std::string content((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  EXPECT_NE(content.find("libomniCodeSets4"), std::string::npos);
}

TEST(RepositoryIds, TypesOfTheCoordinatorModule) {
  const std::pair<CORBA::TypeCode_ptr, const char*> cases[] = {
      {TS::_tc_BinaryData, "IDL:quorvane/Tessarine/BinaryData:1.0"},
      {TS::_tc_WStringsList, "IDL:quorvane/Tessarine/WStringsList:1.0"},
      {TS::_tc_IDLLogEvent, "IDL:quorvane/Tessarine/IDLLogEvent:1.0"},
      {TS::_tc_Log, "IDL:quorvane/Tessarine/Log:1.0"},
      {TS::_tc_OperationType, "IDL:quorvane/Tessarine/OperationType:1.0"},
      {TS::_tc_OperationProgress, "IDL:quorvane/Tessarine/OperationProgress:1.0"},
      {TS::_tc_TaskUID, "IDL:quorvane/Tessarine/TaskUID:1.0"},
      {TS::_tc_ScheduleProperties, "IDL:quorvane/Tessarine/ScheduleProperties:1.0"},
      {TS::ScheduleProperties::_tc_ScheduleType,
       "IDL:quorvane/Tessarine/ScheduleProperties/ScheduleType:1.0"},
      {TS::_tc_DiffCondition, "IDL:quorvane/Tessarine/DiffCondition:1.0"},
      {TS::_tc_CopyMode, "IDL:quorvane/Tessarine/CopyMode:1.0"},
      {TS::_tc_CopyDirection, "IDL:quorvane/Tessarine/CopyDirection:1.0"},
      {TS::_tc_StopCondition, "IDL:quorvane/Tessarine/StopCondition:1.0"},
      {TS::_tc_OperationProperties, "IDL:quorvane/Tessarine/OperationProperties:1.0"},
      {TS::_tc_FileFilterProperties, "IDL:quorvane/Tessarine/FileFilterProperties:1.0"},
      {TS::_tc_ObjectsFetchingProperties, "IDL:quorvane/Tessarine/ObjectsFetchingProperties:1.0"},
      {TS::_tc_ActionType, "IDL:quorvane/Tessarine/ActionType:1.0"},
      {TS::_tc_ActionRunTime, "IDL:quorvane/Tessarine/ActionRunTime:1.0"},
      {TS::_tc_CustomAction, "IDL:quorvane/Tessarine/CustomAction:1.0"},
      {TS::_tc_CustomActionsList, "IDL:quorvane/Tessarine/CustomActionsList:1.0"},
      {TS::_tc_TaskProperties, "IDL:quorvane/Tessarine/TaskProperties:1.0"},
      {TS::_tc_TaskStatus, "IDL:quorvane/Tessarine/TaskStatus:1.0"},
      {TS::_tc_Task, "IDL:quorvane/Tessarine/Task:1.0"},
      {TS::_tc_TasksList, "IDL:quorvane/Tessarine/TasksList:1.0"},
      {TS::_tc_SMTP, "IDL:quorvane/Tessarine/SMTP:1.0"},
      {TS::_tc_ServerSettings, "IDL:quorvane/Tessarine/ServerSettings:1.0"},
      {TS::_tc_LinkParam, "IDL:quorvane/Tessarine/LinkParam:1.0"},
      {TS::_tc_Link, "IDL:quorvane/Tessarine/Link:1.0"},
      {TS::_tc_Session, "IDL:quorvane/Tessarine/Session:1.0"},
      {TS::Session::_tc_Workstations, "IDL:quorvane/Tessarine/Session/Workstations:1.0"},
      {TS::Session::_tc_UnknownTask, "IDL:quorvane/Tessarine/Session/UnknownTask:1.0"},
      {TS::_tc_Server, "IDL:quorvane/Tessarine/Server:1.0"},
      {TS::Server::_tc_AccessDenied, "IDL:quorvane/Tessarine/Server/AccessDenied:1.0"},
      {TS::Server::_tc_EmailSendException, "IDL:quorvane/Tessarine/Server/EmailSendException:1.0"},
  };
  for (const auto& [tc, id] : cases) EXPECT_STREQ(tc->id(), id);

  EXPECT_STREQ(TS::Log::_PD_repoId, "IDL:quorvane/Tessarine/Log:1.0");
  EXPECT_STREQ(TS::OperationProgress::_PD_repoId, "IDL:quorvane/Tessarine/OperationProgress:1.0");
  EXPECT_STREQ(TS::ScheduleProperties::_PD_repoId, "IDL:quorvane/Tessarine/ScheduleProperties:1.0");
  EXPECT_STREQ(TS::OperationProperties::_PD_repoId, "IDL:quorvane/Tessarine/OperationProperties:1.0");
  EXPECT_STREQ(TS::FileFilterProperties::_PD_repoId, "IDL:quorvane/Tessarine/FileFilterProperties:1.0");
  EXPECT_STREQ(TS::ObjectsFetchingProperties::_PD_repoId,
               "IDL:quorvane/Tessarine/ObjectsFetchingProperties:1.0");
  EXPECT_STREQ(TS::TaskProperties::_PD_repoId, "IDL:quorvane/Tessarine/TaskProperties:1.0");
  EXPECT_STREQ(TS::Task::_PD_repoId, "IDL:quorvane/Tessarine/Task:1.0");
  EXPECT_STREQ(TS::ServerSettings::_PD_repoId, "IDL:quorvane/Tessarine/ServerSettings:1.0");
  EXPECT_STREQ(TS::Link::_PD_repoId, "IDL:quorvane/Tessarine/Link:1.0");
  EXPECT_STREQ(TS::Session::_PD_repoId, "IDL:quorvane/Tessarine/Session:1.0");
  EXPECT_STREQ(TS::Server::_PD_repoId, "IDL:quorvane/Tessarine/Server:1.0");
  EXPECT_STREQ(TS::Session::UnknownTask::_PD_repoId, "IDL:quorvane/Tessarine/Session/UnknownTask:1.0");
  EXPECT_STREQ(TS::Server::AccessDenied::_PD_repoId, "IDL:quorvane/Tessarine/Server/AccessDenied:1.0");
  EXPECT_STREQ(TS::Server::EmailSendException::_PD_repoId,
               "IDL:quorvane/Tessarine/Server/EmailSendException:1.0");
}

TEST(RepositoryIds, LauncherModuleHasNoPrefix) {
  EXPECT_STREQ(TS::_tc_ZRServices->id(), "IDL:Tessarine/ZRServices:1.0");
  EXPECT_STREQ(TS::_tc_Launcher->id(), "IDL:Tessarine/Launcher:1.0");
  EXPECT_STREQ(TS::Launcher::_PD_repoId, "IDL:Tessarine/Launcher:1.0");
}

TEST(RepositoryIds, WorkstationModuleHasNoPrefix) {
  const std::pair<CORBA::TypeCode_ptr, const char*> cases[] = {
      {ZD::_tc_IDLErrorID, "IDL:ZavediDedozozuriz/IDLErrorID:1.0"},
      {ZD::_tc_Attributes, "IDL:ZavediDedozozuriz/Attributes:1.0"},
      {ZD::_tc_IDLFileInfo, "IDL:ZavediDedozozuriz/IDLFileInfo:1.0"},
      {ZD::_tc_List, "IDL:ZavediDedozozuriz/List:1.0"},
      {ZD::_tc_Mask, "IDL:ZavediDedozozuriz/Mask:1.0"},
      {ZD::_tc_FileAccessMode, "IDL:ZavediDedozozuriz/FileAccessMode:1.0"},
      {ZD::_tc_ISettings, "IDL:ZavediDedozozuriz/ISettings:1.0"},
      {ZD::_tc_IDLBackupDataRead, "IDL:ZavediDedozozuriz/IDLBackupDataRead:1.0"},
      {ZD::_tc_IDLBackupDataWrite, "IDL:ZavediDedozozuriz/IDLBackupDataWrite:1.0"},
      {ZD::_tc_IDLBackupDataCopy, "IDL:ZavediDedozozuriz/IDLBackupDataCopy:1.0"},
      {ZD::_tc_IDLBackupDataBrowse, "IDL:ZavediDedozozuriz/IDLBackupDataBrowse:1.0"},
      {ZD::_tc_WorkstationSettings, "IDL:ZavediDedozozuriz/WorkstationSettings:1.0"},
      {ZD::_tc_Session, "IDL:ZavediDedozozuriz/Session:1.0"},
      {ZD::_tc_Workstation, "IDL:ZavediDedozozuriz/Workstation:1.0"},
      {ZD::Workstation::_tc_AccessDenied, "IDL:ZavediDedozozuriz/Workstation/AccessDenied:1.0"},
      {ZD::Workstation::_tc_SessionLimit, "IDL:ZavediDedozozuriz/Workstation/SessionLimit:1.0"},
  };
  for (const auto& [tc, id] : cases) EXPECT_STREQ(tc->id(), id);
  EXPECT_STREQ(ZD::IDLBackupDataRead::_PD_repoId, "IDL:ZavediDedozozuriz/IDLBackupDataRead:1.0");
  EXPECT_STREQ(ZD::IDLBackupDataWrite::_PD_repoId, "IDL:ZavediDedozozuriz/IDLBackupDataWrite:1.0");
  EXPECT_STREQ(ZD::IDLBackupDataCopy::_PD_repoId, "IDL:ZavediDedozozuriz/IDLBackupDataCopy:1.0");
  EXPECT_STREQ(ZD::IDLBackupDataBrowse::_PD_repoId, "IDL:ZavediDedozozuriz/IDLBackupDataBrowse:1.0");
  EXPECT_STREQ(ZD::WorkstationSettings::_PD_repoId, "IDL:ZavediDedozozuriz/WorkstationSettings:1.0");
  EXPECT_STREQ(ZD::Session::_PD_repoId, "IDL:ZavediDedozozuriz/Session:1.0");
  EXPECT_STREQ(ZD::Workstation::_PD_repoId, "IDL:ZavediDedozozuriz/Workstation:1.0");
  EXPECT_STREQ(ZD::Workstation::AccessDenied::_PD_repoId,
               "IDL:ZavediDedozozuriz/Workstation/AccessDenied:1.0");
  EXPECT_STREQ(ZD::Workstation::SessionLimit::_PD_repoId,
               "IDL:ZavediDedozozuriz/Workstation/SessionLimit:1.0");
}

TEST(RepositoryIds, CrossFileReferencesPointAtTheDefiningType) {
  // Workstations' element is the workstation file's Workstation.
  CORBA::TypeCode_var seq = TS::Session::_tc_Workstations->content_type();
  CORBA::TypeCode_var element = seq->content_type();
  EXPECT_STREQ(element->id(), "IDL:ZavediDedozozuriz/Workstation:1.0");
  // ISettings uses the common file's list and progress sink.
  CORBA::TypeCode_var filters = ZD::_tc_ISettings->member_type(1);
  CORBA::TypeCode_var progress = ZD::_tc_ISettings->member_type(2);
  EXPECT_STREQ(filters->id(), "IDL:quorvane/Tessarine/WStringsList:1.0");
  EXPECT_STREQ(progress->id(), "IDL:quorvane/Tessarine/OperationProgress:1.0");
  // Attributes' times are the ORB's TimeBase::TimeT.
  CORBA::TypeCode_var creation = ZD::_tc_Attributes->member_type(0);
  EXPECT_STREQ(creation->id(), "IDL:omg.org/TimeBase/TimeT:1.0");
  CORBA::TypeCode_var base = creation->content_type();
  EXPECT_EQ(base->kind(), CORBA::tk_ulonglong);
}

// ---------------------------------------------------------------------------

TEST(Enums, EnumeratorNamesAndWireValues) {
  EXPECT_EQ(EnumNames(TS::_tc_IDLLogEvent),
            (std::vector<std::string>{"Emergency", "Alert", "Critical", "Error", "Warning", "Notice", "Info",
                                      "Debug"}));
  EXPECT_EQ(EnumNames(TS::_tc_OperationType),
            (std::vector<std::string>{"otBackupFull", "otBackupIncremental", "otBackupDifferential",
                                      "otRestoreFull", "otRestoreIncremental", "otSynchronize"}));
  EXPECT_EQ(EnumNames(TS::ScheduleProperties::_tc_ScheduleType),
            (std::vector<std::string>{"stOneShot", "stEveryday", "stWeekDays", "stMonthDays", "stPeriod"}));
  EXPECT_EQ(EnumNames(TS::_tc_DiffCondition),
            (std::vector<std::string>{"dcNewer", "dcOlder", "dcSmaller", "dcLarger", "dcNever", "dcAlways",
                                      "dcChanged"}));
  EXPECT_EQ(EnumNames(TS::_tc_CopyMode), (std::vector<std::string>{"cmSimple", "cmCleanDestination"}));
  EXPECT_EQ(EnumNames(TS::_tc_CopyDirection),
            (std::vector<std::string>{"Direct", "Reverse", "Bidirectional"}));
  EXPECT_EQ(EnumNames(TS::_tc_StopCondition),
            (std::vector<std::string>{"scOnCriticalError", "scOnAnyError", "scIgnoreAllErrors"}));
  EXPECT_EQ(EnumNames(TS::_tc_ActionType), (std::vector<std::string>{"caRunProgram", "caSendEmail"}));
  EXPECT_EQ(EnumNames(TS::_tc_ActionRunTime),
            (std::vector<std::string>{"caOnOperationStart", "caOnOperationFinish", "caOnOperationFailure"}));
  EXPECT_EQ(TS::_tc_TaskStatus->member_count(), 17u);
  EXPECT_STREQ(TS::_tc_TaskStatus->member_name(15), "tsSuccessScheduleWithErrors");
  EXPECT_STREQ(TS::_tc_TaskStatus->member_name(16), "tsTotal");
  EXPECT_EQ(EnumNames(TS::_tc_ZRServices),
            (std::vector<std::string>{"SERVER_SERVICE", "WORKSTATION_SERVICE"}));
  EXPECT_EQ(
      EnumNames(ZD::_tc_IDLErrorID),
      (std::vector<std::string>{"SUCCESS", "FAILED", "CRITICAL", "PATH_NOT_FOUND", "ACCESS_DENIED",
                                "HANDLE_EOF", "NOT_SUPPORTED", "DISK_FULL", "SESSION_LIMIT", "STOPPED"}));
  EXPECT_EQ(EnumNames(ZD::_tc_FileAccessMode), (std::vector<std::string>{"Read", "Write"}));

  // Both ends of each enum travel as their position, a 32-bit number.
  EXPECT_EQ(EnumOnWire(TS::Emergency), 0u);
  EXPECT_EQ(EnumOnWire(TS::Debug), 7u);
  EXPECT_EQ(EnumOnWire(TS::otBackupFull), 0u);
  EXPECT_EQ(EnumOnWire(TS::otSynchronize), 5u);
  EXPECT_EQ(EnumOnWire(TS::ScheduleProperties::stOneShot), 0u);
  EXPECT_EQ(EnumOnWire(TS::ScheduleProperties::stPeriod), 4u);
  EXPECT_EQ(EnumOnWire(TS::dcChanged), 6u);
  EXPECT_EQ(EnumOnWire(TS::cmCleanDestination), 1u);
  EXPECT_EQ(EnumOnWire(TS::Bidirectional), 2u);
  EXPECT_EQ(EnumOnWire(TS::scIgnoreAllErrors), 2u);
  EXPECT_EQ(EnumOnWire(TS::caSendEmail), 1u);
  EXPECT_EQ(EnumOnWire(TS::caOnOperationFailure), 2u);
  EXPECT_EQ(EnumOnWire(TS::tsSuccessScheduleWithErrors), 15u);
  EXPECT_EQ(EnumOnWire(TS::tsTotal), 16u);
  EXPECT_EQ(EnumOnWire(TS::WORKSTATION_SERVICE), 1u);
  EXPECT_EQ(EnumOnWire(ZD::SUCCESS), 0u);
  EXPECT_EQ(EnumOnWire(ZD::STOPPED), 9u);
  EXPECT_EQ(EnumOnWire(ZD::Write), 1u);
}

TEST(Enums, RoundTripAtBothEnds) {
  EXPECT_EQ(RoundTrip(TS::Emergency), TS::Emergency);
  EXPECT_EQ(RoundTrip(TS::Debug), TS::Debug);
  EXPECT_EQ(RoundTrip(TS::otSynchronize), TS::otSynchronize);
  EXPECT_EQ(RoundTrip(TS::ScheduleProperties::stPeriod), TS::ScheduleProperties::stPeriod);
  EXPECT_EQ(RoundTrip(TS::dcChanged), TS::dcChanged);
  EXPECT_EQ(RoundTrip(TS::cmSimple), TS::cmSimple);
  EXPECT_EQ(RoundTrip(TS::Bidirectional), TS::Bidirectional);
  EXPECT_EQ(RoundTrip(TS::scOnCriticalError), TS::scOnCriticalError);
  EXPECT_EQ(RoundTrip(TS::caRunProgram), TS::caRunProgram);
  EXPECT_EQ(RoundTrip(TS::caOnOperationFinish), TS::caOnOperationFinish);
  EXPECT_EQ(RoundTrip(TS::tsTotal), TS::tsTotal);
  EXPECT_EQ(RoundTrip(TS::SERVER_SERVICE), TS::SERVER_SERVICE);
  EXPECT_EQ(RoundTrip(ZD::STOPPED), ZD::STOPPED);
  EXPECT_EQ(RoundTrip(ZD::Read), ZD::Read);
}

// omniORB checks the range when it unmarshals an enum: a value past the last
// enumerator is a MARSHAL error, not a value outside the enum.
TEST(Enums, ValuePastTheLastEnumeratorIsRejected) {
  cdrMemoryStream stream;
  CORBA::ULong(10) >>= stream;
  stream.rewindInputPtr();
  ZD::IDLErrorID code = ZD::SUCCESS;
  EXPECT_THROW(code <<= stream, CORBA::MARSHAL);
  EXPECT_EQ(code, ZD::SUCCESS);
}

// ---------------------------------------------------------------------------

TEST(Sequences, BinaryDataRoundTripAndBorrowedBuffer) {
  TS::BinaryData empty;
  EXPECT_EQ(RoundTrip(empty).length(), 0u);

  TS::BinaryData data;
  data.length(256);
  for (CORBA::ULong i = 0; i < 256; ++i) data[i] = static_cast<CORBA::Octet>(i);
  TS::BinaryData back = RoundTrip(data);
  ASSERT_EQ(back.length(), 256u);
  for (CORBA::ULong i = 0; i < 256; ++i) EXPECT_EQ(back[i], i);

  // A sequence over the caller's buffer without release leaves it alone.
  std::vector<CORBA::Octet> buffer(64, 0x5a);
  {
    TS::BinaryData borrowed(64, 64, buffer.data(), false);
    EXPECT_EQ(borrowed.get_buffer(), buffer.data());
    TS::BinaryData copy = RoundTrip(borrowed);
    ASSERT_EQ(copy.length(), 64u);
    EXPECT_EQ(copy[63], 0x5a);
  }
  EXPECT_EQ(buffer[0], 0x5a);
  EXPECT_EQ(buffer[63], 0x5a);
}

TEST(Sequences, WideStringListsAndMasks) {
  TS::WStringsList empty;
  EXPECT_EQ(RoundTrip(empty).length(), 0u);

  const std::wstring long_text = MixedText(100000);
  TS::WStringsList list;
  list.length(4);
  list[0] = CORBA::wstring_dup(L"");
  list[1] = CORBA::wstring_dup(kAstral.c_str());
  list[2] = CORBA::wstring_dup(long_text.c_str());
  list[3] = CORBA::wstring_dup(L"C:\\path with\ttab");
  TS::WStringsList back = RoundTrip(list);
  ASSERT_EQ(back.length(), 4u);
  EXPECT_EQ(Wide(back[0]), L"");
  EXPECT_EQ(Wide(back[1]), kAstral);
  EXPECT_EQ(Wide(back[2]), long_text);
  EXPECT_EQ(Wide(back[3]), L"C:\\path with\ttab");

  ZD::Mask mask;
  EXPECT_EQ(RoundTrip(mask).length(), 0u);
  mask.length(3);
  mask[0] = true;
  mask[1] = false;
  mask[2] = true;
  ZD::Mask mask_back = RoundTrip(mask);
  ASSERT_EQ(mask_back.length(), 3u);
  EXPECT_TRUE(mask_back[0]);
  EXPECT_FALSE(mask_back[1]);
  EXPECT_TRUE(mask_back[2]);
}

TEST(Sequences, ObjectReferenceSequences) {
  TS::TasksList tasks;
  EXPECT_EQ(RoundTrip(tasks).length(), 0u);
  TS::Session::Workstations none;
  EXPECT_EQ(RoundTrip(none).length(), 0u);

  CORBA::Object_var task_obj = g_root->create_reference(TS::Task::_PD_repoId);
  CORBA::Object_var ws_obj = g_root->create_reference(ZD::Workstation::_PD_repoId);
  tasks.length(2);
  tasks[0] = TS::Task::_unchecked_narrow(task_obj);
  TS::Session::Workstations workstations;
  workstations.length(2);
  workstations[1] = ZD::Workstation::_unchecked_narrow(ws_obj);

  TS::TasksList tasks_back = RoundTrip(tasks);
  ASSERT_EQ(tasks_back.length(), 2u);
  EXPECT_TRUE(tasks_back[0]->_is_equivalent(task_obj));
  EXPECT_TRUE(CORBA::is_nil(tasks_back[1]));

  TS::Session::Workstations ws_back = RoundTrip(workstations);
  ASSERT_EQ(ws_back.length(), 2u);
  EXPECT_TRUE(CORBA::is_nil(ws_back[0]));
  EXPECT_TRUE(ws_back[1]->_is_equivalent(ws_obj));

  // A copy holds its own references.
  TS::TasksList* original = new TS::TasksList(tasks);
  TS::TasksList copy(*original);
  delete original;
  EXPECT_TRUE(copy[0]->_is_equivalent(task_obj));
}

// ---------------------------------------------------------------------------

TEST(Structs, CustomActionAndList) {
  TS::CustomAction action;
  action.type = TS::caSendEmail;
  action.wait = true;
  action.event = TS::caOnOperationFailure;
  action.params = CORBA::wstring_dup(kAstral.c_str());
  TS::CustomAction back = RoundTrip(action);
  EXPECT_EQ(back.type, TS::caSendEmail);
  EXPECT_TRUE(back.wait);
  EXPECT_EQ(back.event, TS::caOnOperationFailure);
  EXPECT_EQ(Wide(back.params), kAstral);
  EXPECT_EQ(MemberNames(TS::_tc_CustomAction), (std::vector<std::string>{"type", "wait", "event", "params"}));

  TS::CustomActionsList list;
  EXPECT_EQ(RoundTrip(list).length(), 0u);
  list.length(2);
  list[0].type = TS::caRunProgram;
  list[0].wait = false;
  list[0].event = TS::caOnOperationStart;
  list[1] = action;
  TS::CustomActionsList list_back = RoundTrip(list);
  ASSERT_EQ(list_back.length(), 2u);
  EXPECT_EQ(Wide(list_back[0].params), L"");
  EXPECT_EQ(list_back[1].event, TS::caOnOperationFailure);
}

TEST(Structs, SmtpMembersInOrder) {
  TS::SMTP smtp;
  smtp.useNotification = true;
  smtp.host = CORBA::wstring_dup(L"mail.example");
  smtp.port = 4294967295u;
  smtp.useAuthentication = false;
  smtp.user = CORBA::wstring_dup(L"u\u00e9");
  smtp.password = CORBA::wstring_dup(L"p");
  smtp.from = CORBA::wstring_dup(L"f");
  smtp.to = CORBA::wstring_dup(L"t");
  smtp.subject = CORBA::wstring_dup(kAstral.c_str());
  smtp.body = CORBA::wstring_dup(L"");
  smtp.useSSL = true;
  EXPECT_EQ(MemberNames(TS::_tc_SMTP),
            (std::vector<std::string>{"useNotification", "host", "port", "useAuthentication", "user",
                                      "password", "from", "to", "subject", "body", "useSSL"}));

  TS::SMTP back = RoundTrip(smtp);
  EXPECT_TRUE(back.useNotification);
  EXPECT_EQ(Wide(back.host), L"mail.example");
  EXPECT_EQ(back.port, 4294967295u);
  EXPECT_FALSE(back.useAuthentication);
  EXPECT_EQ(Wide(back.user), L"u\u00e9");
  EXPECT_EQ(Wide(back.subject), kAstral);
  EXPECT_EQ(Wide(back.body), L"");
  EXPECT_TRUE(back.useSSL);

  // Read member by member off the wire.
  cdrMemoryStream stream;
  smtp >>= stream;
  stream.rewindInputPtr();
  EXPECT_TRUE(stream.unmarshalBoolean());
  CORBA::WString_var host = stream.unmarshalWString();
  EXPECT_EQ(Wide(host), L"mail.example");
  CORBA::ULong port = 0;
  port <<= stream;
  EXPECT_EQ(port, 4294967295u);
  EXPECT_FALSE(stream.unmarshalBoolean());
  const wchar_t* texts[] = {L"u\u00e9", L"p", L"f", L"t", kAstral.c_str(), L""};
  for (const wchar_t* text : texts) {
    CORBA::WString_var got = stream.unmarshalWString();
    EXPECT_EQ(Wide(got), text);
  }
  EXPECT_TRUE(stream.unmarshalBoolean());
  EXPECT_EQ(stream.currentInputPtr(), stream.bufSize());
}

TEST(Structs, LinkParamEndsWithIsProtected) {
  TS::LinkParam param;
  param.name = CORBA::wstring_dup(L"ModifTime");
  param.value = CORBA::wstring_dup(MixedText(100000).c_str());
  param.error = CORBA::wstring_dup(L"");
  param.isProtected = true;
  EXPECT_EQ(MemberNames(TS::_tc_LinkParam),
            (std::vector<std::string>{"name", "value", "error", "isProtected"}));
  TS::LinkParam back = RoundTrip(param);
  EXPECT_EQ(Wide(back.name), L"ModifTime");
  EXPECT_EQ(Wide(back.value), MixedText(100000));
  EXPECT_EQ(Wide(back.error), L"");
  EXPECT_TRUE(back.isProtected);

  cdrMemoryStream stream;
  param >>= stream;
  const CORBA::Octet* bytes = static_cast<const CORBA::Octet*>(stream.bufPtr());
  EXPECT_EQ(bytes[stream.bufSize() - 1], 1);
}

TEST(Structs, AttributesCarry64BitValuesInOrder) {
  ZD::Attributes attrs;
  attrs.Creation = std::numeric_limits<CORBA::ULongLong>::max();
  attrs.LastAccess = 0;
  attrs.Modification = 0x0123456789abcdefULL;
  attrs.Size = std::numeric_limits<CORBA::LongLong>::min();
  attrs.Type = 128;
  attrs.Mask = 15;
  attrs.CustomAttr = CORBA::wstring_dup(L"");
  EXPECT_EQ(MemberNames(ZD::_tc_Attributes),
            (std::vector<std::string>{"Creation", "LastAccess", "Modification", "Size", "Type", "Mask",
                                      "CustomAttr"}));

  ZD::Attributes back = RoundTrip(attrs);
  EXPECT_EQ(back.Creation, std::numeric_limits<CORBA::ULongLong>::max());
  EXPECT_EQ(back.LastAccess, 0u);
  EXPECT_EQ(back.Modification, 0x0123456789abcdefULL);
  EXPECT_EQ(back.Size, std::numeric_limits<CORBA::LongLong>::min());
  EXPECT_EQ(back.Type, 128u);
  EXPECT_EQ(back.Mask, 15);
  ASSERT_NE(back.CustomAttr.in(), nullptr);
  EXPECT_EQ(Wide(back.CustomAttr), L"");

  cdrMemoryStream stream;
  attrs.Size = std::numeric_limits<CORBA::LongLong>::max();
  attrs >>= stream;
  stream.rewindInputPtr();
  CORBA::ULongLong t0 = 0, t1 = 1, t2 = 0;
  CORBA::LongLong size = 0;
  CORBA::ULong type = 0;
  CORBA::Long mask = 0;
  t0 <<= stream;
  t1 <<= stream;
  t2 <<= stream;
  size <<= stream;
  type <<= stream;
  mask <<= stream;
  CORBA::WString_var custom = stream.unmarshalWString();
  EXPECT_EQ(t0, std::numeric_limits<CORBA::ULongLong>::max());
  EXPECT_EQ(t1, 0u);
  EXPECT_EQ(t2, 0x0123456789abcdefULL);
  EXPECT_EQ(size, std::numeric_limits<CORBA::LongLong>::max());
  EXPECT_EQ(type, 128u);
  EXPECT_EQ(mask, 15);
  EXPECT_EQ(Wide(custom), L"");
  EXPECT_EQ(stream.currentInputPtr(), stream.bufSize());
}

TEST(Structs, FileInfoAndList) {
  ZD::IDLFileInfo info;
  info.Attrs.Creation = 1;
  info.Attrs.LastAccess = 2;
  info.Attrs.Modification = 3;
  info.Attrs.Size = 4;
  info.Attrs.Type = 16;
  info.Attrs.Mask = 8;
  info.Attrs.CustomAttr = CORBA::wstring_dup(L"custom");
  info.Name = CORBA::wstring_dup(kAstral.c_str());
  info.Info = CORBA::wstring_dup(L"folder");
  EXPECT_EQ(MemberNames(ZD::_tc_IDLFileInfo), (std::vector<std::string>{"Attrs", "Name", "Info"}));

  ZD::List list;
  EXPECT_EQ(RoundTrip(list).length(), 0u);
  list.length(3);
  list[2] = info;
  ZD::List back = RoundTrip(list);
  ASSERT_EQ(back.length(), 3u);
  EXPECT_EQ(Wide(back[0].Name), L"");
  EXPECT_EQ(back[2].Attrs.Modification, 3u);
  EXPECT_EQ(back[2].Attrs.Type, 16u);
  EXPECT_EQ(Wide(back[2].Attrs.CustomAttr), L"custom");
  EXPECT_EQ(Wide(back[2].Name), kAstral);
  EXPECT_EQ(Wide(back[2].Info), L"folder");
}

TEST(Structs, SettingsWithNilAndRealProgress) {
  EXPECT_EQ(MemberNames(ZD::_tc_ISettings), (std::vector<std::string>{"useIndex", "filters", "progress"}));
  ZD::ISettings settings;
  EXPECT_TRUE(CORBA::is_nil(settings.progress));
  EXPECT_EQ(settings.filters.length(), 0u);
  settings.useIndex = true;
  ZD::ISettings back = RoundTrip(settings);
  EXPECT_TRUE(back.useIndex);
  EXPECT_EQ(back.filters.length(), 0u);
  EXPECT_TRUE(CORBA::is_nil(back.progress));
  ZD::ISettings nil_copy(settings);
  EXPECT_TRUE(CORBA::is_nil(nil_copy.progress));

  CORBA::Object_var obj = g_root->create_reference(TS::OperationProgress::_PD_repoId);
  settings.progress = TS::OperationProgress::_unchecked_narrow(obj);
  settings.filters.length(2);
  settings.filters[0] = CORBA::wstring_dup(L"zip");
  settings.filters[1] = CORBA::wstring_dup(L"xdelta");
  back = RoundTrip(settings);
  ASSERT_FALSE(CORBA::is_nil(back.progress));
  EXPECT_TRUE(back.progress->_is_equivalent(obj));
  ASSERT_EQ(back.filters.length(), 2u);
  EXPECT_EQ(Wide(back.filters[1]), L"xdelta");

  // Assignment duplicates the reference; self-assignment keeps it.
  ZD::ISettings assigned;
  assigned = back;
  back = back;
  EXPECT_TRUE(assigned.progress->_is_equivalent(obj));
  EXPECT_TRUE(back.progress->_is_equivalent(obj));
}

TEST(Structs, TimeBaseInterval) {
  TimeBase::IntervalT interval;
  interval.lower_bound = 0;
  interval.upper_bound = std::numeric_limits<CORBA::ULongLong>::max();
  TimeBase::IntervalT back = RoundTrip(interval);
  EXPECT_EQ(back.lower_bound, 0u);
  EXPECT_EQ(back.upper_bound, std::numeric_limits<CORBA::ULongLong>::max());
}

// ---------------------------------------------------------------------------

TEST(Exceptions, MembersAndAnyRoundTrip) {
  TS::Server::EmailSendException email(kAstral.c_str());
  TS::Server::EmailSendException email_back = RoundTrip(email);
  EXPECT_EQ(Wide(email_back.message), kAstral);
  EXPECT_EQ(MemberNames(TS::Server::_tc_EmailSendException), (std::vector<std::string>{"message"}));

  // Memberless exceptions have an empty body: only the id goes on the wire.
  cdrMemoryStream stream;
  TS::Session::UnknownTask() >>= stream;
  TS::Server::AccessDenied() >>= stream;
  ZD::Workstation::AccessDenied() >>= stream;
  ZD::Workstation::SessionLimit() >>= stream;
  EXPECT_EQ(stream.bufSize(), 0u);

  CORBA::Any any;
  any <<= email;
  const TS::Server::EmailSendException* extracted = nullptr;
  ASSERT_TRUE(any >>= extracted);
  EXPECT_EQ(Wide(extracted->message), kAstral);
  const TS::Session::UnknownTask* wrong = nullptr;
  EXPECT_FALSE(any >>= wrong);

  CORBA::Any limit;
  limit <<= ZD::Workstation::SessionLimit();
  const ZD::Workstation::SessionLimit* got_limit = nullptr;
  EXPECT_TRUE(limit >>= got_limit);
  const ZD::Workstation::AccessDenied* got_denied = nullptr;
  EXPECT_FALSE(limit >>= got_denied);
}

// ---------------------------------------------------------------------------

TEST(Anys, ValuesRoundTripAndMismatchLeavesTargetAlone) {
  CORBA::Any any;
  ZD::Attributes attrs{};
  attrs.Size = 42;
  attrs.CustomAttr = CORBA::wstring_dup(kAstral.c_str());
  any <<= attrs;
  const ZD::Attributes* got = nullptr;
  ASSERT_TRUE(any >>= got);
  EXPECT_EQ(got->Size, 42);
  EXPECT_EQ(Wide(got->CustomAttr), kAstral);

  const TS::LinkParam* not_a_param = nullptr;
  EXPECT_FALSE(any >>= not_a_param);
  EXPECT_EQ(not_a_param, nullptr);

  CORBA::Any event;
  event <<= TS::Debug;
  TS::IDLLogEvent level = TS::Emergency;
  ASSERT_TRUE(event >>= level);
  EXPECT_EQ(level, TS::Debug);
  TS::OperationType op = TS::otRestoreFull;
  EXPECT_FALSE(event >>= op);
  EXPECT_EQ(op, TS::otRestoreFull);

  CORBA::Any workstations;
  workstations <<= TS::Session::Workstations();
  const TS::Session::Workstations* ws = nullptr;
  ASSERT_TRUE(workstations >>= ws);
  EXPECT_EQ(ws->length(), 0u);

  CORBA::Any status;
  status <<= TS::tsTotal;
  TS::TaskStatus ts = TS::tsBackup;
  ASSERT_TRUE(status >>= ts);
  EXPECT_EQ(ts, TS::tsTotal);

  CORBA::Any services;
  services <<= TS::WORKSTATION_SERVICE;
  TS::ZRServices service = TS::SERVER_SERVICE;
  ASSERT_TRUE(services >>= service);
  EXPECT_EQ(service, TS::WORKSTATION_SERVICE);
}

// ---------------------------------------------------------------------------

// Marshals a reference of interface I and reads it back as the same type.
template <typename I>
void ExpectReferenceRoundTrip() {
  CORBA::Object_var obj = g_root->create_reference(I::_PD_repoId);
  typename I::_var_type ref = I::_unchecked_narrow(obj);
  cdrMemoryStream stream;
  I::_marshalObjRef(ref, stream);
  I::_marshalObjRef(I::_nil(), stream);
  stream.rewindInputPtr();
  typename I::_var_type back = I::_unmarshalObjRef(stream);
  typename I::_var_type nil = I::_unmarshalObjRef(stream);
  EXPECT_TRUE(back->_is_equivalent(ref)) << I::_PD_repoId;
  EXPECT_TRUE(CORBA::is_nil(nil)) << I::_PD_repoId;

  // An object of the interface answers these ids without asking anyone.
  EXPECT_TRUE(ref->_is_a(I::_PD_repoId)) << I::_PD_repoId;
  EXPECT_TRUE(ref->_is_a("IDL:omg.org/CORBA/Object:1.0")) << I::_PD_repoId;

  CORBA::Any any;
  any <<= ref.in();
  typename I::_ptr_type extracted = I::_nil();
  ASSERT_TRUE(any >>= extracted) << I::_PD_repoId;
  EXPECT_TRUE(extracted->_is_equivalent(ref));
}

TEST(References, EveryInterfaceMarshals) {
  ExpectReferenceRoundTrip<TS::Log>();
  ExpectReferenceRoundTrip<TS::OperationProgress>();
  ExpectReferenceRoundTrip<TS::ScheduleProperties>();
  ExpectReferenceRoundTrip<TS::OperationProperties>();
  ExpectReferenceRoundTrip<TS::FileFilterProperties>();
  ExpectReferenceRoundTrip<TS::ObjectsFetchingProperties>();
  ExpectReferenceRoundTrip<TS::TaskProperties>();
  ExpectReferenceRoundTrip<TS::Task>();
  ExpectReferenceRoundTrip<TS::ServerSettings>();
  ExpectReferenceRoundTrip<TS::Link>();
  ExpectReferenceRoundTrip<TS::Session>();
  ExpectReferenceRoundTrip<TS::Server>();
  ExpectReferenceRoundTrip<TS::Launcher>();
  ExpectReferenceRoundTrip<ZD::IDLBackupDataRead>();
  ExpectReferenceRoundTrip<ZD::IDLBackupDataWrite>();
  ExpectReferenceRoundTrip<ZD::IDLBackupDataCopy>();
  ExpectReferenceRoundTrip<ZD::IDLBackupDataBrowse>();
  ExpectReferenceRoundTrip<ZD::WorkstationSettings>();
  ExpectReferenceRoundTrip<ZD::Session>();
  ExpectReferenceRoundTrip<ZD::Workstation>();
}

TEST(References, DerivedDataInterfacesAreReadInterfaces) {
  CORBA::Object_var write_obj = g_root->create_reference(ZD::IDLBackupDataWrite::_PD_repoId);
  ZD::IDLBackupDataWrite_var write = ZD::IDLBackupDataWrite::_unchecked_narrow(write_obj);
  EXPECT_TRUE(write->_is_a(ZD::IDLBackupDataRead::_PD_repoId));
  ZD::IDLBackupDataRead_var as_read = ZD::IDLBackupDataRead::_narrow(write);
  EXPECT_FALSE(CORBA::is_nil(as_read));

  CORBA::Object_var browse_obj = g_root->create_reference(ZD::IDLBackupDataBrowse::_PD_repoId);
  ZD::IDLBackupDataBrowse_var browse = ZD::IDLBackupDataBrowse::_unchecked_narrow(browse_obj);
  EXPECT_TRUE(browse->_is_a(ZD::IDLBackupDataRead::_PD_repoId));
}

}  // namespace
