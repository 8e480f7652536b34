// Writes seeds for bus_reply_fuzz into the directory argv[1]: a GetSubTree
// answer as the object mapper gives it, property values of the right and
// wrong types, and replies of other shapes, in the step encoding of
// bus_reply_ops.hpp.

#include "bus_reply_ops.hpp"
#include "fuzz_support.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

namespace ops = fuzz::bus_reply;

// Builds one seed in the step encoding.
class Seed
{
  public:
    explicit Seed(ops::Reader reader) : bytes(1, static_cast<char>(reader))
    {}

    Seed& text(const std::string& value, char type = 's')
    {
        basic(type);
        bytes += static_cast<char>(value.size());
        bytes += value;
        return *this;
    }
    Seed& number(char type, std::uint8_t value)
    {
        basic(type);
        bytes += static_cast<char>(value);
        bytes.append(7, '\0');
        return *this;
    }
    Seed& open(char type, const std::string& contents)
    {
        const auto* at =
            std::find_if(ops::containers.begin(), ops::containers.end(),
                         [&](const ops::Container& c) {
                             return c.type == type && c.contents == contents;
                         });
        bytes += static_cast<char>(ops::open);
        bytes += static_cast<char>(at - ops::containers.begin());
        return *this;
    }
    Seed& close()
    {
        bytes += static_cast<char>(ops::close);
        return *this;
    }
    const std::string& done() const
    {
        return bytes;
    }

  private:
    void basic(char type)
    {
        const auto* at =
            std::find(ops::basicTypes.begin(), ops::basicTypes.end(), type);
        bytes += static_cast<char>(ops::appendBasic);
        bytes += static_cast<char>(at - ops::basicTypes.begin());
    }

    std::string bytes;
};

// One service entry "sas" of a GetSubTree answer.
Seed& service(Seed& seed, const std::string& name)
{
    return seed.open('e', "sas")
        .text(name)
        .open('a', "s")
        .text("xyz.openbmc_project.Common.Progress")
        .text("xyz.openbmc_project.Software.Activation")
        .close()
        .close();
}

// One path entry "sa{sas}" with two services.
Seed& path(Seed& seed, const std::string& objectPath)
{
    seed.open('e', "sa{sas}").text(objectPath).open('a', "{sas}");
    service(seed, "xyz.openbmc_project.Software.BMC.Updater");
    service(seed, ":1.42");
    return seed.close().close();
}

std::vector<std::string> seeds()
{
    Seed tree(ops::subTree);
    tree.open('a', "{sa{sas}}");
    path(tree, "/xyz/openbmc_project/software/1");
    path(tree, "/xyz/openbmc_project/software/1");
    tree.close();
    Seed emptyTree(ops::subTree);
    emptyTree.open('a', "{sa{sas}}").close();
    Seed flatTree(ops::subTree);
    flatTree.open('a', "{sas}");
    service(flatTree, "x");
    return {
        tree.done(),
        emptyTree.done(),
        flatTree.done(),
        Seed(ops::subTree).text("no tree").done(),
        Seed(ops::variantString).open('v', "s").text("JID_1").close().done(),
        Seed(ops::variantString).open('v', "y").number('y', 7).close().done(),
        Seed(ops::variantString)
            .open('v', "as")
            .open('a', "s")
            .text("a")
            .close()
            .close()
            .done(),
        Seed(ops::variantString).text("not a variant").done(),
        Seed(ops::plainString).text("/a/b", 'o').done(),
        Seed(ops::plainString).number('i', 1).done(),
        Seed(ops::plainString).done(),
    };
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: bus_reply_seeds <directory>\n");
        return 2;
    }
    int count = 0;
    for (const std::string& seed : seeds())
    {
        if (!fuzz::writeSeed(argv[1], "seed-" + std::to_string(count++), seed))
        {
            std::fprintf(stderr, "bus_reply_seeds: could not write seeds\n");
            return 1;
        }
    }
    return 0;
}
