#include "bus/bus.hpp"
#include "update/software_object.hpp"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace
{

struct JoinCase
{
    const char* versionId;
    const char* expected;
};

class SoftwareObjectPath : public testing::TestWithParam<JoinCase>
{};

TEST_P(SoftwareObjectPath, JoinsWithOneSlash)
{
    EXPECT_EQ(update::objectPath(GetParam().versionId), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Joins, SoftwareObjectPath,
    testing::Values(
        JoinCase{"a3d2fe67", "/xyz/morvex_project/software/a3d2fe67"},
        // Empty and absolute Version Ids are appended unchanged.
        JoinCase{"", "/xyz/morvex_project/software"},
        JoinCase{"/abs", "/xyz/morvex_project/software/abs"},
        JoinCase{"//x", "/xyz/morvex_project/software//x"},
        // Unlike a filesystem join, nothing is normalised or replaced.
        JoinCase{"a/", "/xyz/morvex_project/software/a/"},
        JoinCase{"..", "/xyz/morvex_project/software/.."}));

TEST(BusError, DescribesStepNameAndMessage)
{
    sd_bus_error error{nullptr, nullptr, 0};
    sd_bus_error_set_const(&error, "org.example.Error.Rejected", "no thanks");
    const bus::BusError fromReply("sd_bus_call", error);
    EXPECT_STREQ(fromReply.what(),
                 "sd_bus_call: org.example.Error.Rejected: no thanks");
    EXPECT_EQ(fromReply.name(), "org.example.Error.Rejected");
}

TEST(BusError, DescribesErrnoFailures)
{
    const bus::BusError fromErrno("sd_bus_message_new_method_call", -ENOTCONN);
    EXPECT_EQ(std::string(fromErrno.what()),
              "sd_bus_message_new_method_call: System.Error.ENOTCONN: "
              "Transport endpoint is not connected");
}

TEST(Connection, UnreachableBusFailsAtTheFirstStep)
{
    ASSERT_EQ(setenv("DBUS_SYSTEM_BUS_ADDRESS",
                     "unix:path=/nonexistent/updater-test-socket", 1),
              0);
    const auto connection = bus::Connection::systemDefault();
    try
    {
        (void)bus::newMethodCall(connection, "org.example", "/", "org.example",
                                 "Ping");
        FAIL() << "no error raised";
    }
    catch (const bus::BusError& e)
    {
        EXPECT_EQ(
            std::string(e.what()).rfind("sd_bus_message_new_method_call: ", 0),
            0U)
            << e.what();
    }
}

} // namespace
