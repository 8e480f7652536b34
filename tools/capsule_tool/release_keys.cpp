#include "capsule_tool/release_keys.hpp"

#include "builder/manifest.hpp"
#include "handles/fd.hpp"
#include "handles/stdio.hpp"
#include "manifest_root_key.hpp"
#include "vardex/manifest_check.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace capsule_tool
{

std::optional<Bytes> trustedRoot(const Options& options)
{
    if (options.rootPub.empty())
    {
        return Bytes(vardex::manifestRootKeyDer.begin(),
                     vardex::manifestRootKeyDer.end());
    }
    const capsule::Key key = loadPublicKey(options.rootPub);
    if (!key)
    {
        return std::nullopt;
    }
    return capsule::publicKeyDer(key);
}

bool isDevelopmentRoot(const Bytes& rootDer)
{
    return rootDer == capsule::developmentRootDer();
}

std::string rootDescription(const Bytes& rootDer)
{
    return "sha256 " + capsule::keyFingerprint(rootDer) +
           (isDevelopmentRoot(rootDer) ? " (development root key)" : "");
}

namespace
{

// The loaded key if it is P-384; empty, reported, otherwise. `failure`
// says why nothing was loaded.
capsule::Key p384Only(capsule::Key key, const std::string& name,
                      const std::string& failure)
{
    if (!key)
    {
        std::fprintf(stderr, "capsule-tool: cannot load %s\n", failure.c_str());
        return nullptr;
    }
    if (!capsule::isP384Key(key))
    {
        std::fprintf(stderr,
                     "capsule-tool: key %s is not an ECDSA P-384 key (the "
                     "updater accepts no other)\n",
                     name.c_str());
        return nullptr;
    }
    return key;
}

} // namespace

capsule::Key loadSigningKey(capsule::KeyLoader& loader, const std::string& name)
{
    capsule::Key key = loader.load(name);
    return p384Only(std::move(key), name,
                    "key " + capsule::keyNameForMessages(name) + ": " +
                        loader.error());
}

capsule::Key loadPublicKey(const std::string& path)
{
    return p384Only(capsule::loadPublicKey(path), path, "public key " + path);
}

std::optional<Bytes> readSmallFile(const std::string& path, std::size_t maxSize)
{
    const FilePtr file(std::fopen(path.c_str(), "rb"));
    Bytes bytes(maxSize + 1);
    if (file)
    {
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
    }
    if (!file || std::ferror(file.get()) != 0 || bytes.size() > maxSize)
    {
        std::fprintf(stderr,
                     "capsule-tool: cannot read %s (or it is longer "
                     "than %zu bytes)\n",
                     path.c_str(), maxSize);
        return std::nullopt;
    }
    return bytes;
}

bool manifestVerifies(const Bytes& manifest, const Bytes& rootDer)
{
    // fmemopen does not take an empty buffer.
    if (manifest.empty())
    {
        return false;
    }
    Bytes copy = manifest;
    const FilePtr stream(fmemopen(copy.data(), copy.size(), "rb"));
    std::vector<std::uint8_t> read;
    return stream && vardex::readManifest(stream.get(), read) &&
           read.size() == manifest.size() &&
           vardex::manifestAuthentic(read, rootDer.data(), rootDer.size());
}

Bytes manifestImageKey(const Bytes& manifest)
{
    const auto fields =
        capsule::parseManifest(manifest.data(), manifest.size());
    if (!fields)
    {
        return {};
    }
    const auto start = manifest.begin() + static_cast<long>(fields->keyOffset);
    return {start, start + static_cast<long>(fields->keyLength)};
}

PendingOutput::PendingOutput(std::string path) : final(std::move(path))
{
    std::string pattern = final + ".partial-XXXXXX";
    const UniqueFd fd(mkstemp(pattern.data()));
    // Read by whoever installs it, as a file written by fopen would be.
    constexpr mode_t outputMode = 0644;
    if (fd.valid() && fchmod(fd.get(), outputMode) == 0)
    {
        temporary = pattern;
    }
}

PendingOutput::~PendingOutput()
{
    if (!temporary.empty())
    {
        // Nothing is left to tell of a temporary that cannot be removed.
        static_cast<void>(std::remove(temporary.c_str()));
    }
}

bool PendingOutput::write(const Bytes& bytes) const
{
    FilePtr file(temporary.empty() ? nullptr
                                   : std::fopen(temporary.c_str(), "wb"));
    return file &&
           std::fwrite(bytes.data(), 1, bytes.size(), file.get()) ==
               bytes.size() &&
           std::fclose(file.release()) == 0;
}

bool PendingOutput::commit()
{
    std::error_code error;
    std::filesystem::rename(temporary, final, error);
    if (error)
    {
        return false;
    }
    temporary.clear();
    return true;
}

} // namespace capsule_tool
