#pragma once

// The steps from a module file to a logged-in session, each undone by its own
// owner, so that whatever step fails, those before it are undone in reverse:
// logout, close the session, C_Finalize, release the lock, dlclose.

#include <p11-kit/pkcs11.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <tl/expected.hpp>
#include <utility>

#include "crypto/secret.hpp"
#include "io/file.hpp"
#include "token/errors.hpp"
#include "token/uri.hpp"

namespace zdz::token {

// A module loaded with dlopen; dlclose when destroyed.
class Library {
public:
    Library() = default;
    [[nodiscard]] static tl::expected<Library, TokenError> open(const std::string& file);

    // The file the dynamic loader mapped (the path as given, or the one it
    // found on its search path).
    [[nodiscard]] std::string loaded_file() const;
    // C_GetFunctionList's list, or NotAModule when the library has none.
    [[nodiscard]] tl::expected<CK_FUNCTION_LIST*, TokenError> function_list(
        const std::string& file) const;

private:
    struct Close {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, Close> handle_;
};

// This program's exclusive flock on the module's file, opened read-only:
// every process of this program that reaches a token through the same module
// file takes it before C_Initialize and keeps it until C_Finalize, so their
// logins and signatures follow one another. The lock object needs no file of
// its own anywhere (the module file is there already, readable by whoever
// can load it) and is released by the kernel when a process dies. Processes
// that reach one token through two module files (the proxy and the module
// itself) do not exclude each other. Released when destroyed.
//
// flock locks per open file, so a second lock on the same module file from
// this process would wait for itself for ever; it is refused instead
// (EDEADLK): one connection to a module at a time in a process, which is
// also all that one C_Initialize and C_Finalize per module allow.
class ModuleLock {
public:
    ModuleLock() = default;
    // Blocks until the lock is held.
    [[nodiscard]] static tl::expected<ModuleLock, TokenError> acquire(const std::string& file);

    ModuleLock(ModuleLock&& other) noexcept;
    ModuleLock& operator=(ModuleLock&& other) noexcept;
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;
    ~ModuleLock();

private:
    ModuleLock(io::FileDescriptor fd, dev_t device, ino_t inode)
        : fd_(std::move(fd)), device_(device), inode_(inode) {}
    void release();

    io::FileDescriptor fd_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Finalizes the module whose function list it is given.
struct Finalize {
    void operator()(CK_FUNCTION_LIST* functions) const noexcept { functions->C_Finalize(nullptr); }
};

// The module, initialised with the operating system's locking by
// initialize(): C_Finalize when destroyed. Empty when the module had been
// initialised by someone else in this process, which finalizes it.
using Initialized = std::unique_ptr<CK_FUNCTION_LIST, Finalize>;
[[nodiscard]] tl::expected<Initialized, TokenError> initialize(CK_FUNCTION_LIST* functions);

// The one initialised token that the URI matches.
struct TokenSlot {
    CK_SLOT_ID id = 0;
    // CKA_LABEL of the token, without its blank padding.
    std::string label;
    CK_FLAGS flags = 0;
};

[[nodiscard]] tl::expected<TokenSlot, TokenError> find_token(CK_FUNCTION_LIST* functions,
                                                             const TokenUri& uri);

// A session handle and the call of the module that undoes what was done on
// it, made when destroyed: C_CloseSession for an open session, C_Logout for a
// login. An empty one undoes nothing.
template <CK_RV (*CK_FUNCTION_LIST::*Undo)(CK_SESSION_HANDLE)>
class SessionStep {
public:
    SessionStep() = default;
    SessionStep(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE handle)
        : functions_(functions), handle_(handle) {}

    SessionStep(SessionStep&& other) noexcept
        : functions_(std::exchange(other.functions_, nullptr)),
          handle_(std::exchange(other.handle_, CK_INVALID_HANDLE)) {}
    SessionStep& operator=(SessionStep&& other) noexcept {
        if (this != &other) {
            SessionStep old(std::move(*this));
            functions_ = std::exchange(other.functions_, nullptr);
            handle_ = std::exchange(other.handle_, CK_INVALID_HANDLE);
        }
        return *this;
    }
    SessionStep(const SessionStep&) = delete;
    SessionStep& operator=(const SessionStep&) = delete;
    ~SessionStep() {
        if (functions_ != nullptr) {
            (functions_->*Undo)(handle_);
        }
    }

    CK_SESSION_HANDLE handle() const { return handle_; }

private:
    CK_FUNCTION_LIST* functions_ = nullptr;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

// A serial session.
using Session = SessionStep<&CK_FUNCTION_LIST::C_CloseSession>;
[[nodiscard]] tl::expected<Session, TokenError> open_session(CK_FUNCTION_LIST* functions,
                                                             CK_SLOT_ID slot, bool read_write);

// Logged in as the user; not logged out again when the user was logged in
// already (an empty Login).
using Login = SessionStep<&CK_FUNCTION_LIST::C_Logout>;
// An empty PIN on a token with a protected authentication path (a PIN pad)
// logs in through the token's own path.
[[nodiscard]] tl::expected<Login, TokenError> log_in(CK_FUNCTION_LIST* functions,
                                                     const TokenSlot& slot,
                                                     CK_SESSION_HANDLE session,
                                                     const crypto::Secret& pin);

// A logged-in session on the token a URI names, and everything under it.
// Members are destroyed in the reverse of their order here.
class Connection {
public:
    [[nodiscard]] static tl::expected<std::unique_ptr<Connection>, TokenError> open(
        const TokenUri& uri, const crypto::Secret& pin, bool read_write);

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() = default;

    CK_FUNCTION_LIST* functions() const { return functions_; }
    CK_SESSION_HANDLE session() const { return session_.handle(); }
    const TokenSlot& token() const { return token_; }

private:
    Connection() = default;

    Library library_;
    ModuleLock lock_;
    CK_FUNCTION_LIST* functions_ = nullptr;
    Initialized initialized_;
    TokenSlot token_;
    Session session_;
    Login login_;
};

}  // namespace zdz::token
