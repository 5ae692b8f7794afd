#include "token/token.hpp"

#include <utility>

#include "contracts/content_hash.hpp"
#include "encoding/try.hpp"
#include "token/connection.hpp"
#include "token/objects.hpp"

namespace zdz::token {
namespace {

SessionRef session_of(const Connection& connection) {
    return SessionRef{connection.functions(), connection.session(), connection.token().label};
}

TokenKey token_key(KeyObjects pair, const Connection& connection) {
    return TokenKey{pair.verifying_key, std::move(pair.id), connection.token().label};
}

}  // namespace

tl::expected<TokenKey, TokenError> generate_key(const TokenUri& uri, const crypto::Secret& pin) {
    if (uri.id()) {
        return tl::unexpected(TokenError::uri_invalid(
            uri.text(), "a key to generate is named by its label alone; its id is drawn here"));
    }
    ZDZ_TRY(auto connection, Connection::open(uri, pin, true));
    ZDZ_TRY(auto pair, generate_key_pair(session_of(*connection), uri.label()));
    return token_key(std::move(pair), *connection);
}

namespace {

// A logged-in connection and the key pair the URI names on it.
struct FoundKey {
    std::unique_ptr<Connection> connection;
    KeyObjects pair;
};

tl::expected<FoundKey, TokenError> connect_to_key(const TokenUri& uri, const crypto::Secret& pin) {
    ZDZ_TRY(auto connection, Connection::open(uri, pin, false));
    ZDZ_TRY(auto pair, find_key_pair(session_of(*connection), uri.label(), uri.id()));
    return FoundKey{std::move(connection), std::move(pair)};
}

}  // namespace

tl::expected<TokenKey, TokenError> find_key(const TokenUri& uri, const crypto::Secret& pin) {
    ZDZ_TRY(auto found, connect_to_key(uri, pin));
    return token_key(std::move(found.pair), *found.connection);
}

struct TokenSigner::State {
    std::unique_ptr<Connection> connection;
    KeyObjects pair;
    std::string label;
};

TokenSigner::TokenSigner(std::unique_ptr<State> state) : state_(std::move(state)) {}
TokenSigner::TokenSigner(TokenSigner&&) noexcept = default;
TokenSigner& TokenSigner::operator=(TokenSigner&&) noexcept = default;
TokenSigner::~TokenSigner() = default;

tl::expected<TokenSigner, TokenError> TokenSigner::open(const TokenUri& uri,
                                                        const crypto::Secret& pin) {
    ZDZ_TRY(auto found, connect_to_key(uri, pin));
    return TokenSigner(std::make_unique<State>(
        State{std::move(found.connection), std::move(found.pair), uri.label()}));
}

const crypto::VerifyingKey& TokenSigner::public_key() const {
    return state_->pair.verifying_key;
}

tl::expected<TokenSignature, TokenError> TokenSigner::sign(std::string_view message) const {
    ZDZ_TRY(auto signature, sign_with(session_of(*state_->connection), state_->pair.private_key,
                                      state_->label, message));
    return TokenSignature{signature, state_->pair.verifying_key};
}

tl::expected<TokenSignature, TokenError> sign_message(const TokenUri& uri,
                                                      const crypto::Secret& pin,
                                                      std::string_view message) {
    ZDZ_TRY(auto signer, TokenSigner::open(uri, pin));
    return signer.sign(message);
}

tl::expected<void, TokenError> check_signature(const TokenUri& uri,
                                               const crypto::VerifyingKey& expected,
                                               std::string_view message,
                                               const TokenSignature& signed_by) {
    if (signed_by.public_key != expected) {
        return tl::unexpected(TokenError::unexpected_key(
            uri.label(), crypto::key_fingerprint(signed_by.public_key).to_string(),
            crypto::key_fingerprint(expected).to_string()));
    }
    if (!crypto::verify_bytes(expected, message, signed_by.signature)) {
        return tl::unexpected(TokenError::signature_invalid(uri.label()));
    }
    return {};
}

}  // namespace zdz::token
