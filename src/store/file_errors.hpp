#pragma once

#include <string>
#include <string_view>

#include "store/errors.hpp"

namespace zdz::store {

// StorageFailed for a store file, worded alike for the keystore and the
// registry store: "cannot read PATH: DETAIL" and "cannot write PATH: DETAIL".
[[nodiscard]] StoreError cannot_read(const std::string& path, std::string_view detail);
[[nodiscard]] StoreError cannot_write(const std::string& path, std::string_view detail);

}  // namespace zdz::store
