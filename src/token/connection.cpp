#include "token/connection.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <p11-kit/uri.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/try.hpp"

namespace zdz::token {
namespace {

// A fixed-width, blank-padded text field of a PKCS#11 info structure.
template <std::size_t N>
std::string padded_text(const CK_UTF8CHAR (&field)[N]) {
    std::string_view text(reinterpret_cast<const char*>(field), N);
    const auto end = text.find_last_not_of(' ');
    return std::string(text.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

// The module files this process holds ModuleLocks on, by device and inode.
std::mutex& held_mutex() {
    static std::mutex mutex;
    return mutex;
}
std::set<std::pair<dev_t, ino_t>>& held_files() {
    static std::set<std::pair<dev_t, ino_t>> files;
    return files;
}

}  // namespace

void Library::Close::operator()(void* handle) const {
    ::dlclose(handle);
}

tl::expected<Library, TokenError> Library::open(const std::string& file) {
    Library library;
    // RTLD_LOCAL: a module's symbols (its own C_Sign) must not stand in for
    // those of another library of this process.
    library.handle_.reset(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library.handle_) {
        const char* reason = ::dlerror();
        return tl::unexpected(
            TokenError::module_missing(file, reason != nullptr ? reason : "dlopen failed"));
    }
    return library;
}

std::string Library::loaded_file() const {
    link_map* map = nullptr;
    if (::dlinfo(handle_.get(), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr) {
        return {};
    }
    return map->l_name;
}

tl::expected<CK_FUNCTION_LIST*, TokenError> Library::function_list(const std::string& file) const {
    void* symbol = ::dlsym(handle_.get(), "C_GetFunctionList");
    if (symbol == nullptr) {
        return tl::unexpected(TokenError::not_a_module(file));
    }
    // POSIX guarantees that a function's address read through dlsym converts
    // back to its pointer type.
    auto* get_function_list = reinterpret_cast<CK_C_GetFunctionList>(symbol);
    CK_FUNCTION_LIST* functions = nullptr;
    const CK_RV rv = get_function_list(&functions);
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_GetFunctionList", rv));
    }
    if (functions == nullptr) {
        return tl::unexpected(TokenError::not_a_module(file));
    }
    return functions;
}

tl::expected<ModuleLock, TokenError> ModuleLock::acquire(const std::string& file) {
    io::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        return tl::unexpected(TokenError::lock_failed(file, errno));
    }
    const auto key = std::make_pair(status.st_dev, status.st_ino);
    {
        const std::lock_guard guard(held_mutex());
        if (!held_files().insert(key).second) {
            return tl::unexpected(TokenError::lock_failed(file, EDEADLK));
        }
    }
    ModuleLock lock(std::move(fd), status.st_dev, status.st_ino);
    while (::flock(lock.fd_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return tl::unexpected(TokenError::lock_failed(file, errno));
        }
    }
    return lock;
}

ModuleLock::ModuleLock(ModuleLock&& other) noexcept
    : fd_(std::move(other.fd_)), device_(other.device_), inode_(other.inode_) {}

ModuleLock& ModuleLock::operator=(ModuleLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::move(other.fd_);
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

ModuleLock::~ModuleLock() {
    release();
}

void ModuleLock::release() {
    if (fd_.valid()) {
        // Closing the descriptor releases the flock.
        fd_ = io::FileDescriptor();
        const std::lock_guard guard(held_mutex());
        held_files().erase(std::make_pair(device_, inode_));
    }
}

tl::expected<Initialized, TokenError> initialize(CK_FUNCTION_LIST* functions) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = functions->C_Initialize(&args);
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return Initialized();
    }
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_Initialize", rv));
    }
    return Initialized(functions);
}

tl::expected<TokenSlot, TokenError> find_token(CK_FUNCTION_LIST* functions, const TokenUri& uri) {
    const auto no_token = [&] { return tl::unexpected(TokenError::no_matching_token(uri.text())); };
    CK_INFO module_info{};
    if (const CK_RV rv = functions->C_GetInfo(&module_info); rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_GetInfo", rv));
    }
    if (p11_kit_uri_match_module_info(uri.parsed(), &module_info) == 0) {
        return no_token();
    }

    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    while (rv == CKR_BUFFER_TOO_SMALL) {
        CK_ULONG count = 0;
        rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
        if (rv != CKR_OK) {
            break;
        }
        slots.resize(count);
        rv = functions->C_GetSlotList(CK_TRUE, slots.data(), &count);
        slots.resize(count);
    }
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_GetSlotList", rv));
    }

    std::vector<TokenSlot> matches;
    for (const CK_SLOT_ID slot : slots) {
        if (uri.slot_id() && *uri.slot_id() != slot) {
            continue;
        }
        CK_SLOT_INFO slot_info{};
        CK_TOKEN_INFO token_info{};
        rv = functions->C_GetSlotInfo(slot, &slot_info);
        if (rv == CKR_OK) {
            rv = functions->C_GetTokenInfo(slot, &token_info);
        }
        // A token taken out while the slots are listed is not one to use.
        if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED ||
            rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_SLOT_ID_INVALID) {
            continue;
        }
        if (rv != CKR_OK) {
            return tl::unexpected(TokenError::from_call("C_GetTokenInfo", rv));
        }
        if ((token_info.flags & CKF_TOKEN_INITIALIZED) == 0 ||
            p11_kit_uri_match_slot_info(uri.parsed(), &slot_info) == 0 ||
            p11_kit_uri_match_token_info(uri.parsed(), &token_info) == 0) {
            continue;
        }
        matches.push_back(TokenSlot{slot, padded_text(token_info.label), token_info.flags});
    }
    if (matches.empty()) {
        return no_token();
    }
    if (matches.size() > 1) {
        return tl::unexpected(TokenError::several_matching_tokens(uri.text(), matches.size()));
    }
    return std::move(matches.front());
}

tl::expected<Session, TokenError> open_session(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot,
                                               bool read_write) {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    const CK_FLAGS flags = CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0);
    const CK_RV rv = functions->C_OpenSession(slot, flags, nullptr, nullptr, &handle);
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_OpenSession", rv));
    }
    return Session(functions, handle);
}

tl::expected<Login, TokenError> log_in(CK_FUNCTION_LIST* functions, const TokenSlot& slot,
                                       CK_SESSION_HANDLE session, const crypto::Secret& pin) {
    const bool pin_pad = pin.empty() && (slot.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    // C_Login's PIN parameter is not const; PKCS#11 modules only read it.
    auto* pin_bytes = pin_pad ? nullptr : const_cast<CK_UTF8CHAR*>(pin.data());
    const CK_RV rv = functions->C_Login(session, CKU_USER, pin_bytes, pin_pad ? 0 : pin.size());
    if (rv == CKR_USER_ALREADY_LOGGED_IN) {
        return Login();
    }
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_Login", rv));
    }
    return Login(functions, session);
}

tl::expected<std::unique_ptr<Connection>, TokenError> Connection::open(const TokenUri& uri,
                                                                       const crypto::Secret& pin,
                                                                       bool read_write) {
    ZDZ_TRY(auto file, uri.module_file());
    std::unique_ptr<Connection> connection(new Connection());
    ZDZ_TRY(auto library, Library::open(file));
    connection->library_ = std::move(library);
    ZDZ_TRY(auto functions, connection->library_.function_list(file));
    connection->functions_ = functions;
    const auto loaded = connection->library_.loaded_file();
    ZDZ_TRY(auto lock, ModuleLock::acquire(loaded.empty() ? file : loaded));
    connection->lock_ = std::move(lock);
    ZDZ_TRY(auto initialized, initialize(connection->functions_));
    connection->initialized_ = std::move(initialized);
    ZDZ_TRY(auto token, find_token(connection->functions_, uri));
    connection->token_ = std::move(token);
    ZDZ_TRY(auto session, open_session(connection->functions_, connection->token_.id, read_write));
    connection->session_ = std::move(session);
    ZDZ_TRY(auto login,
            log_in(connection->functions_, connection->token_, connection->session_.handle(), pin));
    connection->login_ = std::move(login);
    return connection;
}

}  // namespace zdz::token
