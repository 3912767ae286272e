#include "json_convert.h"

namespace ctl {

namespace {

bool is_code_key(const ustring& key) {
    return key == "error_type" || key == "code";
}

Json to_json(const PObject& value, bool signed_codes, bool as_code) {
    switch (value.getType()) {
        case PObject::TYPE_INTEGER:
            if (as_code) return Json(value.asInt64());
            return Json(value.asUInt64());
        case PObject::TYPE_STRING:
            return Json(value.asString().str());
        case PObject::TYPE_BINARY: {
            const PObject::binary_type& b = value.asBinary();
            Json j = Json::object();
            j["offset"] = b.offset;
            j["length"] = b.length;
            j["path"] = b.path.str();
            return j;
        }
        case PObject::TYPE_ARRAY: {
            Json j = Json::array();
            for (const PObject& element : value.asArray()) j.push_back(to_json(element, signed_codes, false));
            return j;
        }
        case PObject::TYPE_MAP: {
            Json j = Json::object();
            for (const auto& [key, member] : value.asMap())
                j[key.str()] = to_json(member, signed_codes, signed_codes && is_code_key(key));
            return j;
        }
        default:
            return Json(nullptr);
    }
}

bool from_json(const Json& json, PObject& out, const std::string& where, std::string& error) {
    switch (json.type()) {
        case Json::value_t::null:
            out.clear();
            return true;
        case Json::value_t::boolean:
            out = json.get<bool>();
            return true;
        case Json::value_t::number_unsigned:
            out = json.get<uint64_t>();
            return true;
        case Json::value_t::number_integer:
            out = json.get<int64_t>();
            return true;
        case Json::value_t::string:
            out = ustring(json.get<std::string>());
            return true;
        case Json::value_t::array: {
            PObject::vector& elements = out.asArray();
            elements.clear();
            size_t i = 0;
            for (const Json& element : json) {
                elements.emplace_back();
                if (!from_json(element, elements.back(), where + "[" + std::to_string(i++) + "]", error)) return false;
            }
            return true;
        }
        case Json::value_t::object: {
            out.asMap();
            for (const auto& [key, member] : json.items())
                if (!from_json(member, out[ustring(key)], where + "." + key, error)) return false;
            return true;
        }
        default:
            error = "the number at " + (where.empty() ? std::string("the top") : where) +
                    " is not an integer (control values hold integers only)";
            return false;
    }
}

}  // namespace

Json ToJson(const PObject& value, bool signed_codes) {
    return to_json(value, signed_codes, false);
}

bool FromJson(const Json& json, PObject& out, std::string& error) {
    return from_json(json, out, "", error);
}

}  // namespace ctl
