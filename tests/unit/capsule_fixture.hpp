#pragma once

// Keys and streams for the unit tests of image verification and the
// manifest library: the development root key that the manifest library
// trusts and one fresh image key per test program.

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"
#include "builder/scratch_directory.hpp"
#include "handles/stdio.hpp"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

namespace fixture
{

using capsule::Bytes;

inline const capsule::Key& rootKey()
{
    static const capsule::Key key = capsule::developmentRootKey();
    return key;
}

inline const capsule::Key& imageKey()
{
    static const capsule::Key key = capsule::generateP384Key();
    return key;
}

// A temporary file holding `bytes`, positioned at its start.
inline FilePtr fileOf(const Bytes& bytes)
{
    FilePtr file(std::tmpfile());
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()),
              bytes.size());
    std::rewind(file.get());
    return file;
}

// The key record the manifest library hands out: host-order 16-bit length,
// then the DER.
inline Bytes keyRecord(const Bytes& der)
{
    const auto length = static_cast<std::uint16_t>(der.size());
    Bytes record(sizeof(length));
    std::memcpy(record.data(), &length, sizeof(length));
    capsule::append(record, der);
    return record;
}

} // namespace fixture
