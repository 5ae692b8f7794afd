#pragma once

#include <string>
#include <string_view>

#include "trust/errors.hpp"

namespace zdz::store {

// StorageFailed for a store file, worded alike for the keystore and the
// registry store: "cannot read PATH: DETAIL" and "cannot write PATH: DETAIL".
[[nodiscard]] trust::TrustError cannot_read(const std::string& path, std::string_view detail);
[[nodiscard]] trust::TrustError cannot_write(const std::string& path, std::string_view detail);

}  // namespace zdz::store
