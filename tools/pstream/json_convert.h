// Conversion between PObject trees and JSON for tidewell-pstream.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "value/pobject.h"

// JSON with members in the order they were given.
using Json = nlohmann::ordered_json;

// Objects become maps, arrays arrays, non-negative integers integers,
// negative ones their 64-bit two's complement, strings strings, true and
// false 1 and 0, null null. False with a message in `error` for what has no
// encoding (a fraction, a number beyond 64 bits).
bool JsonToPObject(const Json& in, PObject& out, std::string& error);

// Integers as numbers, binaries as {"binary": LENGTH}.
Json PObjectToJson(const PObject& in);
