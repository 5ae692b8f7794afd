#include "token/objects.hpp"

#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <utility>

#include "crypto/sodium.hpp"
#include "encoding/try.hpp"

namespace zdz::token {
namespace {

// DER of the OID 1.3.101.112 (id-Ed25519, RFC 8410).
constexpr std::array<std::uint8_t, 5> kEd25519Oid = {0x06, 0x03, 0x2b, 0x65, 0x70};
// DER PrintableString "edwards25519".
constexpr std::array<std::uint8_t, 14> kEd25519Name = {0x13, 0x0c, 'e', 'd', 'w', 'a', 'r',
                                                       'd',  's',  '2', '5', '5', '1', '9'};
constexpr std::uint8_t kDerOctetString = 0x04;

// Bytes of CKA_ID that a generated key gets: as many as a SHA-1 of its
// public key, which is what other tools choose.
constexpr std::size_t kKeyIdBytes = 20;

// What the key pair found for a label signs and verifies before it is
// taken: a public key stored beside the wrong private key shows here.
constexpr std::string_view kPairCheckMessage = "token key pair check";

template <class T>
CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, T& value) {
    return CK_ATTRIBUTE{type, &value, sizeof value};
}

CK_ATTRIBUTE bytes_attribute(CK_ATTRIBUTE_TYPE type, std::span<const std::uint8_t> bytes) {
    // Templates are read, never written, by the calls they are given to.
    return CK_ATTRIBUTE{type, const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
}

CK_ATTRIBUTE text_attribute(CK_ATTRIBUTE_TYPE type, const std::string& text) {
    return CK_ATTRIBUTE{type, const_cast<char*>(text.data()), text.size()};
}

std::string key_type_name(CK_KEY_TYPE type) {
    switch (type) {
        case CKK_RSA:
            return "CKK_RSA";
        case CKK_DSA:
            return "CKK_DSA";
        case CKK_DH:
            return "CKK_DH";
        case CKK_EC:
            return "CKK_EC";
        case CKK_EC_EDWARDS:
            return "CKK_EC_EDWARDS";
        case CKK_GENERIC_SECRET:
            return "CKK_GENERIC_SECRET";
        case CKK_AES:
            return "CKK_AES";
        default: {
            std::array<char, 24> digits{};
            const auto end = std::to_chars(digits.begin(), digits.end(), type, 16).ptr;
            return "0x" + std::string(digits.begin(), end);
        }
    }
}

// Holds a search open and ends it, whatever happens in between.
class Search {
public:
    explicit Search(const SessionRef& session) : session_(session) {}
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;
    ~Search() {
        if (started_) {
            session_.functions->C_FindObjectsFinal(session_.session);
        }
    }

    [[nodiscard]] tl::expected<std::vector<CK_OBJECT_HANDLE>, TokenError> run(
        std::span<CK_ATTRIBUTE> match) {
        CK_RV rv =
            session_.functions->C_FindObjectsInit(session_.session, match.data(), match.size());
        if (rv != CKR_OK) {
            return tl::unexpected(TokenError::from_call("C_FindObjectsInit", rv));
        }
        started_ = true;
        std::vector<CK_OBJECT_HANDLE> found;
        std::array<CK_OBJECT_HANDLE, 16> batch{};
        while (true) {
            CK_ULONG count = 0;
            rv = session_.functions->C_FindObjects(session_.session, batch.data(), batch.size(),
                                                   &count);
            if (rv != CKR_OK) {
                return tl::unexpected(TokenError::from_call("C_FindObjects", rv));
            }
            if (count == 0) {
                break;
            }
            found.insert(found.end(), batch.begin(), batch.begin() + static_cast<long>(count));
        }
        started_ = false;
        rv = session_.functions->C_FindObjectsFinal(session_.session);
        if (rv != CKR_OK) {
            return tl::unexpected(TokenError::from_call("C_FindObjectsFinal", rv));
        }
        return found;
    }

private:
    const SessionRef& session_;
    bool started_ = false;
};

tl::expected<std::optional<CK_ULONG>, TokenError> read_ulong(const SessionRef& session,
                                                             CK_OBJECT_HANDLE object,
                                                             CK_ATTRIBUTE_TYPE type) {
    ZDZ_TRY(auto bytes, read_attribute(session, object, type));
    if (!bytes || (bytes)->size() != sizeof(CK_ULONG)) {
        return std::optional<CK_ULONG>();
    }
    CK_ULONG value = 0;
    std::copy((bytes)->begin(), (bytes)->end(), reinterpret_cast<std::uint8_t*>(&value));
    return std::optional<CK_ULONG>(value);
}

// Why the object is not an Ed25519 key of its kind, or "" when it is one.
tl::expected<std::string, TokenError> ed25519_refusal(const SessionRef& session,
                                                      CK_OBJECT_HANDLE object,
                                                      bool params_required) {
    ZDZ_TRY(auto type, read_ulong(session, object, CKA_KEY_TYPE));
    if (!type) {
        return std::string("it has no key type");
    }
    if (*type != CKK_EC_EDWARDS) {
        return "its key type is " + key_type_name(*type);
    }
    ZDZ_TRY(auto params, read_attribute(session, object, CKA_EC_PARAMS));
    if (!params) {
        return std::string(params_required ? "it has no curve (CKA_EC_PARAMS)" : "");
    }
    if (!is_ed25519_params(*params)) {
        return std::string("its curve is not edwards25519");
    }
    return std::string();
}

// The public key of the pair, read and checked.
tl::expected<crypto::VerifyingKey, TokenError> read_public_key(const SessionRef& session,
                                                               CK_OBJECT_HANDLE public_key,
                                                               const std::string& label) {
    ZDZ_TRY(auto refusal, ed25519_refusal(session, public_key, true));
    if (!refusal.empty()) {
        return tl::unexpected(TokenError::key_not_ed25519(label, "its public key: " + refusal));
    }
    ZDZ_TRY(auto point, read_attribute(session, public_key, CKA_EC_POINT));
    const auto bytes = point ? ed25519_point(*point) : std::nullopt;
    if (!bytes) {
        return tl::unexpected(
            TokenError::key_not_ed25519(label, "its public key (CKA_EC_POINT) is not 32 bytes"));
    }
    auto key = crypto::VerifyingKey::from_bytes(*bytes);
    if (!key) {
        return tl::unexpected(TokenError::key_not_ed25519(
            label, "its public key (CKA_EC_POINT) is not a point of the curve"));
    }
    return *key;
}

tl::expected<void, TokenError> check_pair(const SessionRef& session, const KeyObjects& pair,
                                          const std::string& label) {
    ZDZ_TRY(auto signature, sign_with(session, pair.private_key, label, kPairCheckMessage));
    if (!crypto::verify_bytes(pair.verifying_key, kPairCheckMessage, signature)) {
        return tl::unexpected(TokenError::key_pair_mismatch(label));
    }
    return {};
}

}  // namespace

bool is_ed25519_params(std::span<const std::uint8_t> params) {
    return std::ranges::equal(params, kEd25519Oid) || std::ranges::equal(params, kEd25519Name);
}

std::optional<std::array<std::uint8_t, crypto::kPublicKeyBytes>> ed25519_point(
    std::span<const std::uint8_t> point) {
    if (point.size() == crypto::kPublicKeyBytes + 2 && point[0] == kDerOctetString &&
        point[1] == crypto::kPublicKeyBytes) {
        point = point.subspan(2);
    }
    if (point.size() != crypto::kPublicKeyBytes) {
        return std::nullopt;
    }
    std::array<std::uint8_t, crypto::kPublicKeyBytes> bytes{};
    std::ranges::copy(point, bytes.begin());
    return bytes;
}

tl::expected<std::optional<std::vector<std::uint8_t>>, TokenError> read_attribute(
    const SessionRef& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    using Value = std::optional<std::vector<std::uint8_t>>;
    CK_ATTRIBUTE query{type, nullptr, 0};
    CK_RV rv = session.functions->C_GetAttributeValue(session.session, object, &query, 1);
    if (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
        query.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return Value();
    }
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_GetAttributeValue", rv));
    }
    std::vector<std::uint8_t> value(query.ulValueLen);
    query.pValue = value.data();
    rv = session.functions->C_GetAttributeValue(session.session, object, &query, 1);
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_GetAttributeValue", rv));
    }
    value.resize(query.ulValueLen);
    return Value(std::move(value));
}

tl::expected<std::vector<CK_OBJECT_HANDLE>, TokenError> find_objects(
    const SessionRef& session, std::span<CK_ATTRIBUTE> match) {
    Search search(session);
    return search.run(match);
}

tl::expected<KeyObjects, TokenError> find_key_pair(
    const SessionRef& session, const std::string& label,
    const std::optional<std::vector<std::uint8_t>>& id) {
    CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> match{attribute(CKA_CLASS, private_class),
                                    text_attribute(CKA_LABEL, label)};
    if (id) {
        match.push_back(bytes_attribute(CKA_ID, *id));
    }
    ZDZ_TRY(auto private_keys, find_objects(session, match));
    if (private_keys.empty()) {
        return tl::unexpected(TokenError::key_not_found(label, session.token_label));
    }
    if (private_keys.size() > 1) {
        return tl::unexpected(
            TokenError::several_keys(label, session.token_label, private_keys.size()));
    }
    const CK_OBJECT_HANDLE private_key = private_keys.front();
    // A private key need not show its curve; its public key must.
    ZDZ_TRY(auto refusal, ed25519_refusal(session, private_key, false));
    if (!refusal.empty()) {
        return tl::unexpected(TokenError::key_not_ed25519(label, refusal));
    }
    ZDZ_TRY(auto key_id, read_attribute(session, private_key, CKA_ID));
    std::vector<std::uint8_t> private_id = key_id.value_or(std::vector<std::uint8_t>());

    CK_OBJECT_CLASS public_class = CKO_PUBLIC_KEY;
    std::array<CK_ATTRIBUTE, 2> public_match{attribute(CKA_CLASS, public_class),
                                             text_attribute(CKA_LABEL, label)};
    ZDZ_TRY(auto public_keys, find_objects(session, public_match));
    std::optional<CK_OBJECT_HANDLE> public_key;
    if (!private_id.empty()) {
        for (const CK_OBJECT_HANDLE candidate : public_keys) {
            ZDZ_TRY(auto candidate_id, read_attribute(session, candidate, CKA_ID));
            if (candidate_id == private_id) {
                if (public_key) {
                    public_key.reset();
                    break;
                }
                public_key = candidate;
            }
        }
    }
    if (!public_key && public_keys.size() == 1) {
        public_key = public_keys.front();
    }
    if (!public_key) {
        return tl::unexpected(
            TokenError::public_key_not_found(label, session.token_label, public_keys.size()));
    }
    ZDZ_TRY(auto verifying_key, read_public_key(session, *public_key, label));
    KeyObjects pair{private_key, *public_key, std::move(private_id), verifying_key};
    ZDZ_RETURN_IF_ERROR(check_pair(session, pair, label));
    return pair;
}

tl::expected<KeyObjects, TokenError> generate_key_pair(const SessionRef& session,
                                                       const std::string& label) {
    for (CK_OBJECT_CLASS key_class : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_SECRET_KEY}) {
        std::array<CK_ATTRIBUTE, 2> match{attribute(CKA_CLASS, key_class),
                                          text_attribute(CKA_LABEL, label)};
        ZDZ_TRY(auto found, find_objects(session, match));
        if (!found.empty()) {
            return tl::unexpected(TokenError::label_taken(label, session.token_label));
        }
    }

    crypto::start_sodium_best_effort();
    std::vector<std::uint8_t> id(kKeyIdBytes);
    randombytes_buf(id.data(), id.size());
    CK_OBJECT_CLASS public_class = CKO_PUBLIC_KEY;
    CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY;
    CK_KEY_TYPE key_type = CKK_EC_EDWARDS;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    std::array public_template{
        attribute(CKA_CLASS, public_class), attribute(CKA_KEY_TYPE, key_type),
        attribute(CKA_TOKEN, yes),          attribute(CKA_PRIVATE, no),
        attribute(CKA_VERIFY, yes),         bytes_attribute(CKA_EC_PARAMS, kEd25519Oid),
        text_attribute(CKA_LABEL, label),   bytes_attribute(CKA_ID, id),
    };
    std::array private_template{
        attribute(CKA_CLASS, private_class),
        attribute(CKA_KEY_TYPE, key_type),
        attribute(CKA_TOKEN, yes),
        attribute(CKA_PRIVATE, yes),
        attribute(CKA_SENSITIVE, yes),
        attribute(CKA_EXTRACTABLE, no),
        attribute(CKA_SIGN, yes),
        text_attribute(CKA_LABEL, label),
        bytes_attribute(CKA_ID, id),
    };
    CK_MECHANISM mechanism{CKM_EC_EDWARDS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE private_key = CK_INVALID_HANDLE;
    const CK_RV rv = session.functions->C_GenerateKeyPair(
        session.session, &mechanism, public_template.data(), public_template.size(),
        private_template.data(), private_template.size(), &public_key, &private_key);
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_GenerateKeyPair", rv));
    }
    auto pair = find_key_pair(session, label, id);
    if (!pair || pair->private_key != private_key || pair->public_key != public_key) {
        // A key that cannot be read back as made is not left to block the
        // label.
        session.functions->C_DestroyObject(session.session, private_key);
        session.functions->C_DestroyObject(session.session, public_key);
        if (!pair) {
            return tl::unexpected(std::move(pair.error()));
        }
        return tl::unexpected(TokenError::several_keys(label, session.token_label, std::size_t{2}));
    }
    return pair;
}

tl::expected<crypto::Signature, TokenError> sign_with(const SessionRef& session,
                                                      CK_OBJECT_HANDLE private_key,
                                                      const std::string& label,
                                                      std::string_view message) {
    CK_MECHANISM mechanism{CKM_EDDSA, nullptr, 0};
    CK_RV rv = session.functions->C_SignInit(session.session, &mechanism, private_key);
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_SignInit", rv));
    }
    crypto::Signature::Bytes bytes{};
    CK_ULONG length = bytes.size();
    // C_Sign's data parameter is not const; modules only read it.
    auto* data = reinterpret_cast<CK_BYTE*>(const_cast<char*>(message.data()));
    rv = session.functions->C_Sign(session.session, data, message.size(), bytes.data(), &length);
    if (rv != CKR_OK) {
        return tl::unexpected(TokenError::from_call("C_Sign", rv));
    }
    if (length != bytes.size()) {
        return tl::unexpected(TokenError::key_not_ed25519(
            label, "its signature is " + std::to_string(length) + " bytes, not 64"));
    }
    return crypto::Signature(bytes);
}

}  // namespace zdz::token
