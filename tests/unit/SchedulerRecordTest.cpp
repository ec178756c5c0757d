#include "common/Platform.h"

#include "scheduler/QelSchedulerConfig.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

const std::wstring kScheduler = L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\";
const SchedulerTaskRecord kAutoDownload{.Name = L"AutoDownload", .Description = L"AutoDownload task",
                                        .Path = L"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe",
                                        .Param = L"/context=4", .Type = 3, .LaunchMode = 1, .IntervalInSec = 14400,
                                        .Settings = 0x21, .WaitForComplete = 1};

// One field of a record as text (the map form, which the round trip below checks whole).
std::wstring Field(const SchedulerTaskRecord& record, const std::wstring& name)
{
    if (name == L"WaitForComplete") return std::to_wstring(record.WaitForComplete);
    StringMap map;
    TaskToMap(record, map);
    return map[name];
}

class SchedulerRecordTest : public testing::Test {
protected:
    void SetUp() override { testmachine::DeleteTree(L"SOFTWARE\\Tarsen"); }
};

// (A record written and read back whole: the task manager's removal request copied from its key.)
TEST_F(SchedulerRecordTest, RangeRulesOnRead)
{
    const std::tuple<const wchar_t*, DWORD, DWORD> cases[] = {  // value, stored, read
        {L"Type", 0, 0}, {L"Type", 4, 4}, {L"Type", 5, 0}, {L"LaunchMode", 1, 1}, {L"LaunchMode", 2, 0},
        {L"WaitForComplete", 1, 1}, {L"WaitForComplete", 2, 0}, {L"RebootWaitCount", 100, 100},
        {L"RebootWaitCount", 101, 0}, {L"IntervalInSec", 299, 0}, {L"IntervalInSec", 300, 300},
        {L"IntervalInSec", 2764800, 2764800}, {L"IntervalInSec", 2764801, 0}, {L"EnvWaitIntervalInSec", 59, 0},
        {L"EnvWaitIntervalInSec", 60, 60}, {L"EnvWaitIntervalInSec", 14400, 14400},
        {L"EnvWaitIntervalInSec", 14401, 0}, {L"Settings", 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto& [value, stored, expected] : cases) {
        testmachine::DeleteTree(kScheduler + L"T");
        testmachine::SetDword(kScheduler + L"T", value, stored);
        SchedulerTaskRecord record;  // non-zero, so a refused value shows as a written 0
        record.Type = record.LaunchMode = 1;
        record.IntervalInSec = record.RebootWaitCount = record.EnvWaitIntervalInSec = record.WaitForComplete = 1;
        CQelScheduleTaskConfig(L"T").ReadRecord(record);
        EXPECT_EQ(Field(record, value), std::to_wstring(expected)) << testing::PrintToString(value) << " " << stored;
    }

    // Values of the wrong type, or over-long, never crash and are reported as missing.
    const std::wstring key = kScheduler + L"Hostile";
    testmachine::SetString(key, L"Type", L"3");
    testmachine::SetDword(key, L"Path", 12);
    testmachine::SetString(key, L"Param", std::wstring(100000, L'p'));
    testmachine::SetBinary(key, L"LaunchMode", "\x01", 1);
    SchedulerTaskRecord record;
    record.Path = L"untouched";
    EXPECT_NE(CQelScheduleTaskConfig(L"Hostile").ReadRecord(record), 0u);
    EXPECT_EQ(record.Type + record.LaunchMode, 0);
    EXPECT_EQ(record.Path + L" " + std::to_wstring(record.Param.size()), L"untouched 100000");
    EXPECT_EQ(record.EnvWaitIntervalInSec, 1800u) << "a missing value keeps the record's own";
}

// (Which texts are unsafe is the text fuzz target's, at every test run.)
TEST_F(SchedulerRecordTest, AnUnsafeTaskHasNoPathToStart)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"/uninstall /longpath C:\\Program Files\\Tarsen", false}, {L"a&b", true}, {L"C:\\dir\\run", true}};
    for (const auto& [param, unsafe] : cases) {
        testmachine::SetString(kScheduler + L"P", L"Path", L"C:\\x.exe");
        testmachine::SetString(kScheduler + L"P", L"Param", param);
        std::wstring path, read;
        CQelScheduleTaskConfig(L"P").GetCommand(path, read);
        EXPECT_EQ(read, param);
        EXPECT_EQ(path.empty(), unsafe) << testing::PrintToString(std::wstring(param));
    }
}

TEST_F(SchedulerRecordTest, NamesThatAreNotKeyNamesAreRefusedBeforeTheRegistry)
{
    for (const std::wstring& name : {std::wstring(), std::wstring(L"Auto\\Download"), std::wstring(L"..\\..\\Run"),
                                     std::wstring(256, L'n')}) {
        SchedulerTaskRecord record = kAutoDownload;
        record.Name = name;
        CQelScheduleTaskConfig config(name);
        EXPECT_EQ((std::vector<DWORD>{config.Write(record), config.ReadRecord(record), config.Delete()}),
                  std::vector<DWORD>(3, ERROR_INVALID_NAME)) << name;
    }
    EXPECT_FALSE(testmachine::KeyExists(kScheduler)) << "nothing was created";
    EXPECT_TRUE(scheduler::IsValidTaskName(std::wstring(255, L'n')));
}

TEST_F(SchedulerRecordTest, MapRoundTripKeepsEverythingButWaitForComplete)
{
    StringMap map;
    ASSERT_EQ(TaskToMap(kAutoDownload, map), 0u);
    EXPECT_EQ(map, (StringMap{{L"Name", L"AutoDownload"}, {L"Description", L"AutoDownload task"},
                              {L"Path", L"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe"},
                              {L"Param", L"/context=4"}, {L"Type", L"3"}, {L"IntervalInSec", L"14400"},
                              {L"RebootWaitCount", L"0"}, {L"Settings", L"33"}, {L"LaunchMode", L"1"},
                              {L"EnvWaitIntervalInSec", L"1800"}}));
    SchedulerTaskRecord back;
    back.WaitForComplete = 7;
    ASSERT_EQ(MapToTask(map, back), 0u);
    StringMap again;
    TaskToMap(back, again);
    EXPECT_EQ(again, map);
    EXPECT_EQ(back.WaitForComplete, 7u) << "not carried: the target keeps its own";

    // Unknown keys ignored, missing ones keep the field, numbers parse like _wtoi and are written signed.
    SchedulerTaskRecord partial;
    partial.Description = L"kept";
    MapToTask({{L"Type", L" 3x"}, {L"type", L"4"}, {L"LaunchMode", L"-1"}, {L"Extra", L"?"}}, partial);
    EXPECT_EQ(Field(partial, L"Type") + Field(partial, L"LaunchMode") + partial.Description, L"3-1kept");
}

}  // namespace
