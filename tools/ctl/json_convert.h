// Conversions between control values and JSON for tidewell-ctl.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "value/pobject.h"

namespace ctl {

using Json = nlohmann::ordered_json;

// A value as JSON, members in the value's own key order. Integers print
// unsigned; with `signed_codes` the members "error_type" and "code", which
// carry negative result codes as two's complement, print signed.
Json ToJson(const PObject& value, bool signed_codes = false);

// JSON as a value: true, false become 1, 0; negative integers travel as
// their two's complement. Fractional numbers have no counterpart: false,
// with `error` saying where.
bool FromJson(const Json& json, PObject& out, std::string& error);

}  // namespace ctl
