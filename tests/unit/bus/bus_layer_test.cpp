// The bus error keeps the name of the error, which no run of the tool shows.

#include "bus/bus.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace
{

TEST(BusError, KeepsTheErrorName)
{
    sd_bus_error error{nullptr, nullptr, 0};
    sd_bus_error_set_const(&error, "org.example.Error.Rejected", "no thanks");
    EXPECT_EQ(bus::BusError("sd_bus_call", error).name(),
              "org.example.Error.Rejected");
    EXPECT_EQ(bus::BusError("sd_bus_call", -ENOTCONN).name(),
              "System.Error.ENOTCONN");
}

} // namespace
