#include "capsule_tool/inspect_report.hpp"

#include "capsule/layout.hpp"
#include "diag.hpp"
#include "rapidjson.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace capsule_tool
{
namespace
{

const char* releaseTypeName(unsigned type)
{
    if (type == 0)
    {
        return "none";
    }
    return type == 2 ? "production" : "prototype";
}

void printRoot(const std::optional<RootInfo>& root)
{
    if (!root)
    {
        std::printf("  root key:           verified by neither the trusted nor "
                    "the development root key\n");
        return;
    }
    std::printf("  root key:           sha256 %s%s%s\n",
                root->fingerprint.c_str(),
                root->development ? " (development root key)" : "",
                root->trusted ? "" : ", not the trusted root key");
}

} // namespace

void printText(const std::string& path, const Report& r)
{
    std::printf("capsule: %s (%ju bytes)\n", path.c_str(), r.capsuleSize);
    if (r.hasUefiHeader)
    {
        std::printf(
            "UEFI capsule header (%zu bytes, not read by the updater):\n"
            "  guid:               %s\n"
            "  header size:        %u\n"
            "  flags:              0x%08x\n"
            "  capsule image size: %u\n",
            capsule::layout::uefiHeaderSize, r.guid.c_str(), r.headerSize,
            r.flags, r.capsuleImageSize);
    }
    std::printf("capsule RBU header:   %s, length %u\n",
                r.capsuleRbu.present ? "$RBU" : "missing", r.capsuleRbu.length);
    if (r.unwrapped)
    {
        std::printf("image: %u bytes\n", r.imageSize);
        std::printf("image RBU header:     %s, length %u\n",
                    r.imageRbu.present ? "$RBU" : "missing", r.imageRbu.length);
    }
    if (r.manifest)
    {
        const capsule::ManifestFields& f = r.manifest->fields;
        std::printf("manifest (%zu bytes):\n"
                    "  format version:     %u\n"
                    "  release type:       0x%02x (%s)\n"
                    "  image key:          %zu bytes DER, sha256 %s\n"
                    "  root signature:     %zu bytes DER\n",
                    f.totalLength, f.formatVersion, f.releaseType,
                    releaseTypeName(f.releaseType), f.keyLength,
                    r.manifest->fingerprint.c_str(), f.signatureLength);
        printRoot(r.manifest->root);
    }
    if (r.slot)
    {
        std::printf("payload:              %zu bytes\n"
                    "signature slot:       %zu bytes, DER signature %u bytes\n",
                    r.slot->payloadSize, capsule::layout::signatureSlotSize,
                    r.slot->derLength);
    }
    if (r.verified)
    {
        std::printf("verification: PASS (release type 0x%02x, %s)\n",
                    r.releaseType, releaseTypeName(r.releaseType));
        return;
    }
    std::printf("verification: FAIL\n");
    for (const std::string& line : r.messages)
    {
        if (line.rfind(diag::failPrefix, 0) == 0)
        {
            std::printf("  %s\n", line.c_str());
        }
    }
}

namespace
{

// Writes one JSON object member at a time; an empty optional is null.
class JsonObject
{
  public:
    explicit JsonObject(rapidjson::Writer<rapidjson::StringBuffer>& writer) :
        w(writer)
    {
        w.StartObject();
    }
    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;
    JsonObject(JsonObject&&) = delete;
    JsonObject& operator=(JsonObject&&) = delete;
    ~JsonObject()
    {
        w.EndObject();
    }

    void member(const char* key, const std::string& value)
    {
        w.Key(key);
        w.String(value.c_str());
    }
    void member(const char* key, bool value)
    {
        w.Key(key);
        w.Bool(value);
    }
    void member(const char* key, std::uint64_t value)
    {
        w.Key(key);
        w.Uint64(value);
    }
    void member(const char* key, std::optional<std::uint64_t> value)
    {
        w.Key(key);
        value ? w.Uint64(*value) : w.Null();
    }
    void member(const char* key, const std::vector<std::string>& values)
    {
        w.Key(key);
        w.StartArray();
        for (const std::string& value : values)
        {
            w.String(value.c_str());
        }
        w.EndArray();
    }
    // A member whose value is an object written by `fill`, or null.
    template <typename Fill>
    void object(const char* key, bool present, Fill fill)
    {
        w.Key(key);
        if (!present)
        {
            w.Null();
            return;
        }
        JsonObject inner(w);
        fill(inner);
    }

  private:
    rapidjson::Writer<rapidjson::StringBuffer>& w;
};

void rbuMembers(JsonObject& o, const RbuInfo& rbu)
{
    o.member("present", rbu.present);
    o.member("length", std::uint64_t{rbu.length});
}

std::optional<std::uint64_t> slotValue(const Report& r, bool payload)
{
    if (!r.slot)
    {
        return std::nullopt;
    }
    return payload ? r.slot->payloadSize : r.slot->derLength;
}

} // namespace

std::string jsonReport(const std::string& path, const Report& r)
{
    rapidjson::StringBuffer buffer;
    {
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        JsonObject o(writer);
        o.member("capsule", path);
        o.member("capsule_size", std::uint64_t{r.capsuleSize});
        o.object("uefi_header", r.hasUefiHeader, [&r](JsonObject& uefi) {
            uefi.member("guid", r.guid);
            uefi.member("header_size", std::uint64_t{r.headerSize});
            uefi.member("flags", std::uint64_t{r.flags});
            uefi.member("capsule_image_size",
                        std::uint64_t{r.capsuleImageSize});
        });
        o.object("capsule_rbu", true,
                 [&r](JsonObject& rbu) { rbuMembers(rbu, r.capsuleRbu); });
        o.member("image_size", r.unwrapped
                                   ? std::optional<std::uint64_t>{r.imageSize}
                                   : std::nullopt);
        o.object("image_rbu", r.unwrapped,
                 [&r](JsonObject& rbu) { rbuMembers(rbu, r.imageRbu); });
        o.object("manifest", r.manifest.has_value(), [&r](JsonObject& m) {
            const capsule::ManifestFields& f = r.manifest->fields;
            m.member("length", std::uint64_t{f.totalLength});
            m.member("format_version", std::uint64_t{f.formatVersion});
            m.member("release_type", std::uint64_t{f.releaseType});
            m.member("key_length", std::uint64_t{f.keyLength});
            m.member("key_sha256", r.manifest->fingerprint);
            m.member("signature_length", std::uint64_t{f.signatureLength});
            const std::optional<RootInfo>& root = r.manifest->root;
            m.object("root_key", root.has_value(), [&root](JsonObject& k) {
                k.member("sha256", root->fingerprint);
                k.member("development_root_key", root->development);
                k.member("trusted", root->trusted);
            });
        });
        o.member("payload_size", slotValue(r, true));
        o.member("signature_der_length", slotValue(r, false));
        o.object("verification", true, [&r](JsonObject& v) {
            v.member("verdict", std::string(r.verified ? "pass" : "fail"));
            v.member("release_type", std::uint64_t{r.releaseType});
            v.member("messages", r.messages);
        });
    }
    return {buffer.GetString(), buffer.GetSize()};
}

void printJson(const std::string& path, const Report& report)
{
    std::printf("%s\n", jsonReport(path, report).c_str());
}

} // namespace capsule_tool
