#include "store/file_errors.hpp"

#include <utility>

namespace zdz::store {
namespace {

StoreError storage_failed(std::string_view action, const std::string& path,
                          std::string_view detail) {
    std::string text(action);
    text += path;
    text += ": ";
    text += detail;
    return StoreError::storage_failed(std::move(text));
}

}  // namespace

StoreError cannot_read(const std::string& path, std::string_view detail) {
    return storage_failed("cannot read ", path, detail);
}

StoreError cannot_write(const std::string& path, std::string_view detail) {
    return storage_failed("cannot write ", path, detail);
}

}  // namespace zdz::store
