// An object mapper whose GetSubTree answer is given on the command line and
// sent as is: entries keep their order, and a key may appear twice (which a
// dictionary-based mapper cannot send).
//
//   raw_mapper <ready file> <path> <service> [<path> <service> ...]
//
// Each pair becomes one "a{sa{sas}}" entry: the path with one service that
// implements the job interface. Runs until killed.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr const char* mapperService = "xyz.morvex_project.ObjectMapper";
constexpr const char* mapperPath = "/xyz/morvex_project/object_mapper";
constexpr const char* jobInterface = "xyz.morvex_project.Software.JobControl";

std::vector<std::pair<std::string, std::string>> entries;

int appendEntry(sd_bus_message* reply, const std::string& path,
                const std::string& service)
{
    int r = sd_bus_message_open_container(reply, 'e', "sa{sas}");
    r = r < 0 ? r : sd_bus_message_append(reply, "s", path.c_str());
    r = r < 0 ? r : sd_bus_message_open_container(reply, 'a', "{sas}");
    r = r < 0 ? r : sd_bus_message_open_container(reply, 'e', "sas");
    r = r < 0 ? r : sd_bus_message_append(reply, "s", service.c_str());
    r = r < 0 ? r : sd_bus_message_append(reply, "as", 1, jobInterface);
    r = r < 0 ? r : sd_bus_message_close_container(reply);
    r = r < 0 ? r : sd_bus_message_close_container(reply);
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int getSubTree(sd_bus_message* call, void* /*userdata*/,
               sd_bus_error* /*error*/)
{
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    r = r < 0 ? r : sd_bus_message_open_container(reply, 'a', "{sa{sas}}");
    for (const auto& [path, service] : entries)
    {
        r = r < 0 ? r : appendEntry(reply, path, service);
    }
    r = r < 0 ? r : sd_bus_message_close_container(reply);
    r = r < 0 ? r : sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

// sd-bus's vtable macros build a C array.
const sd_bus_vtable mapperVtable[] = { // NOLINT(*-avoid-c-arrays)
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetSubTree", "sias", "a{sa{sas}}", getSubTree,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc % 2 != 0)
    {
        std::fprintf(stderr,
                     "usage: raw_mapper <ready file> [<path> <service>]...\n");
        return 2;
    }
    for (int i = 2; i + 1 < argc; i += 2)
    {
        entries.emplace_back(argv[i], argv[i + 1]);
    }
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, &slot, mapperPath, mapperService,
                                 mapperVtable, nullptr) < 0 ||
        sd_bus_request_name(bus, mapperService, 0) < 0)
    {
        std::fprintf(stderr, "raw_mapper: cannot serve %s\n", mapperService);
        return 1;
    }
    std::ofstream(argv[1]) << "ready\n";
    while (sd_bus_process(bus, nullptr) >= 0)
    {
        if (sd_bus_wait(bus, UINT64_MAX) < 0)
        {
            break;
        }
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return 0;
}
