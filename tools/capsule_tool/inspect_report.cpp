#include "capsule_tool/inspect_report.hpp"

#include "capsule/layout.hpp"
#include "rapidjson.hpp"

#include <cstdio>

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
        if (line.rfind("BIOSIMG_DBG_FAIL", 0) == 0)
        {
            std::printf("  %s\n", line.c_str());
        }
    }
}

namespace
{

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void jsonRbu(JsonWriter& w, const char* name, const RbuInfo& rbu)
{
    w.Key(name);
    w.StartObject();
    w.Key("present");
    w.Bool(rbu.present);
    w.Key("length");
    w.Uint(rbu.length);
    w.EndObject();
}

void jsonUefi(JsonWriter& w, const Report& r)
{
    w.Key("uefi_header");
    if (!r.hasUefiHeader)
    {
        w.Null();
        return;
    }
    w.StartObject();
    w.Key("guid");
    w.String(r.guid.c_str());
    w.Key("header_size");
    w.Uint(r.headerSize);
    w.Key("flags");
    w.Uint(r.flags);
    w.Key("capsule_image_size");
    w.Uint(r.capsuleImageSize);
    w.EndObject();
}

void jsonManifest(JsonWriter& w, const Report& r)
{
    w.Key("manifest");
    if (!r.manifest)
    {
        w.Null();
        return;
    }
    const capsule::ManifestFields& f = r.manifest->fields;
    w.StartObject();
    w.Key("length");
    w.Uint64(f.totalLength);
    w.Key("format_version");
    w.Uint(f.formatVersion);
    w.Key("release_type");
    w.Uint(f.releaseType);
    w.Key("key_length");
    w.Uint64(f.keyLength);
    w.Key("key_sha256");
    w.String(r.manifest->fingerprint.c_str());
    w.Key("signature_length");
    w.Uint64(f.signatureLength);
    w.EndObject();
}

void jsonVerification(JsonWriter& w, const Report& r)
{
    w.Key("verification");
    w.StartObject();
    w.Key("verdict");
    w.String(r.verified ? "pass" : "fail");
    w.Key("release_type");
    w.Uint(r.releaseType);
    w.Key("messages");
    w.StartArray();
    for (const std::string& line : r.messages)
    {
        w.String(line.c_str());
    }
    w.EndArray();
    w.EndObject();
}

} // namespace

void printJson(const std::string& path, const Report& r)
{
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("capsule");
    w.String(path.c_str());
    w.Key("capsule_size");
    w.Uint64(r.capsuleSize);
    jsonUefi(w, r);
    jsonRbu(w, "capsule_rbu", r.capsuleRbu);
    w.Key("image_size");
    if (r.unwrapped)
    {
        w.Uint(r.imageSize);
        jsonRbu(w, "image_rbu", r.imageRbu);
    }
    else
    {
        w.Null();
        w.Key("image_rbu");
        w.Null();
    }
    jsonManifest(w, r);
    w.Key("payload_size");
    r.slot ? w.Uint64(r.slot->payloadSize) : w.Null();
    w.Key("signature_der_length");
    r.slot ? w.Uint(r.slot->derLength) : w.Null();
    jsonVerification(w, r);
    w.EndObject();
    std::printf("%s\n", buffer.GetString());
}

} // namespace capsule_tool
