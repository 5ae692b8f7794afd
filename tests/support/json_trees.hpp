#pragma once

// Trees for the tests and fuzz targets of the canonical form, which must not
// depend on the order of an object's members.

#include <utility>
#include <vector>

#include "json/value.hpp"

namespace zdz::test {

// The same tree with the members of every object put in another order by
// `reorder` (called with each object's members, innermost objects first).
template <class Reorder>
json::JsonValue with_members_reordered(const json::JsonValue& value, Reorder& reorder) {
    if (value.is_array()) {
        auto out = json::JsonValue::array();
        for (const auto& item : value.items()) {
            out.push(with_members_reordered(item, reorder));
        }
        return out;
    }
    if (!value.is_object()) {
        return value;
    }
    std::vector<json::JsonMember> members;
    for (const auto& member : value.members()) {
        members.emplace_back(member.key, with_members_reordered(member.value, reorder));
    }
    reorder(members);
    return json::JsonValue::object(std::move(members));
}

}  // namespace zdz::test
