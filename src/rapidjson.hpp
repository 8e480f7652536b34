#pragma once

// RapidJSON, for every user in the tree.
//
// RapidJSON 1.1's internal stack computes "null + size" before its first
// allocation, which clang's UndefinedBehaviorSanitizer reports although the
// result is only compared; the library's own code is exempt from that one
// check. Everything the library includes is declared before the exemption,
// so that it covers the library alone.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <iterator>
#include <limits>
#include <new>
#include <string>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), \
                             apply_to = function)
#endif
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#if defined(__clang__)
#pragma clang attribute pop
#endif
