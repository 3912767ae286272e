#include "json_convert.h"

#include <cmath>
#include <cstdint>

namespace {

bool NumberFromFloat(double d, PObject& out, std::string& error) {
    // 2^64 and -2^63 are exact in a double.
    if (!std::isfinite(d) || d != std::floor(d) || d >= 18446744073709551616.0 || d < -9223372036854775808.0) {
        error = "number " + Json(d).dump() + " is not an integer of at most 64 bits";
        return false;
    }
    if (d >= 0) {
        out = static_cast<uint64_t>(d);
    } else {
        out = static_cast<int64_t>(d);
    }
    return true;
}

}  // namespace

bool JsonToPObject(const Json& in, PObject& out, std::string& error) {
    switch (in.type()) {
        case Json::value_t::null:
            out.clear();
            return true;
        case Json::value_t::boolean:
            out = in.get<bool>();
            return true;
        case Json::value_t::number_unsigned:
            out = in.get<uint64_t>();
            return true;
        case Json::value_t::number_integer:
            out = in.get<int64_t>();
            return true;
        case Json::value_t::number_float:
            return NumberFromFloat(in.get<double>(), out, error);
        case Json::value_t::string:
            out = ustring(in.get_ref<const std::string&>());
            return true;
        case Json::value_t::array: {
            PObject::vector& array = out.asArray();
            array.clear();
            for (const Json& element : in) {
                array.emplace_back();
                if (!JsonToPObject(element, array.back(), error)) return false;
            }
            return true;
        }
        case Json::value_t::object: {
            PObject::map& map = out.asMap();
            map.clear();
            for (const auto& [key, value] : in.items()) {
                if (!JsonToPObject(value, map[ustring(key)], error)) return false;
            }
            return true;
        }
        default:
            error = "binary JSON values have no encoding";
            return false;
    }
}

Json PObjectToJson(const PObject& in) {
    switch (in.getType()) {
        case PObject::TYPE_INTEGER:
            return Json(in.asUInt64());
        case PObject::TYPE_STRING:
            return Json(in.asString().str());
        case PObject::TYPE_BINARY:
            return Json{{"binary", in.asBinary().length}};
        case PObject::TYPE_ARRAY: {
            Json array = Json::array();
            for (const PObject& element : in.asArray()) array.push_back(PObjectToJson(element));
            return array;
        }
        case PObject::TYPE_MAP: {
            Json object = Json::object();
            for (const auto& [key, value] : in.asMap()) object[key.str()] = PObjectToJson(value);
            return object;
        }
        default:
            return Json();
    }
}
