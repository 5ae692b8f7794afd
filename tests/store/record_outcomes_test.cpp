// What each record reader makes of documents broken in many ways, pinned.
//
// tests/data/records/outcomes.txt holds documents made from the golden files
// (cut short at a byte, a byte replaced or left out, a token put in, a value
// replaced by one of another kind) and what reading them gives: the fault's
// kind and its display (words, line and column), or, for a document that
// reads, digests of the record written back in its file form and in its
// signed form. Each case is read again here and must come out the same.
//
// With ZDZ_RECORD_CORPUS=FILE the whole mutated set (tens of thousands of
// documents) is written to FILE instead, one case a line, so that two builds
// can be compared over all of it; with ZDZ_REGENERATE_GOLDEN=1 as well, the
// representative cases in tests/data/records/outcomes.txt are made again.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/digest.hpp"
#include "envelope/envelope.hpp"
#include "store/kdf.hpp"
#include "store/keystore.hpp"
#include "store/registry_file.hpp"
#include "support/broken_json.hpp"
#include "trust/manifest.hpp"

namespace fs = std::filesystem;

namespace {

using zdz::json::DocumentError;

const fs::path kGoldenDir = fs::path(ZDZ_SOURCE_DIR) / "tests" / "data" / "golden";
const fs::path kOutcomes = fs::path(ZDZ_SOURCE_DIR) / "tests" / "data" / "records" / "outcomes.txt";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string digest(std::string_view bytes) {
    return zdz::crypto::measure_sha256(bytes).to_string().substr(7, 16);
}

std::string failure(const DocumentError& error) {
    switch (error.kind) {
        case DocumentError::Kind::Syntax:
            return "syntax: " + error.display();
        case DocumentError::Kind::Refused:
            return "refused: " + error.display();
        case DocumentError::Kind::OutOfMemory:
            break;
    }
    return "memory: " + error.display();
}

template <class T>
std::string signed_text(const tl::expected<T, zdz::contracts::ContractError>& bytes) {
    return bytes ? digest(*bytes) : "fault " + bytes.error().display();
}

// The outcome of reading `text` as a record of `kind`.
std::string outcome(const std::string& kind, const std::string& text) {
    if (kind == "kdf") {
        const auto read = zdz::store::read_kdf_params_json(text);
        if (!read) {
            return failure(read.error());
        }
        return "ok file " + digest(zdz::store::write_kdf_params_json(*read));
    }
    if (kind == "encrypted") {
        const auto read = zdz::envelope::read_encrypted_envelope_json(text);
        if (!read) {
            return failure(read.error());
        }
        return "ok file " + digest(zdz::envelope::write_envelope_json(*read)) + " signed " +
               signed_text(read->header_bytes());
    }
    if (kind == "keystore") {
        const auto read = zdz::store::read_keystore_json(text);
        if (!read) {
            return failure(read.error());
        }
        return "ok file " + digest(zdz::store::write_keystore_json(*read)) + " signed " +
               signed_text(read->envelope.header_bytes());
    }
    if (kind == "manifest") {
        const auto read = zdz::trust::read_manifest_json(text);
        if (!read) {
            return failure(read.error());
        }
        return "ok file " + digest(zdz::trust::write_manifest_json(*read)) + " signed " +
               signed_text(zdz::trust::manifest_signing_bytes(read->body));
    }
    const auto read =
        zdz::envelope::read_signed_envelope_json<zdz::store::RegistrySnapshotBody>(text);
    if (!read) {
        return failure(read.error());
    }
    return "ok file " + digest(zdz::envelope::write_envelope_json(*read)) + " signed " +
           signed_text(read->signing_bytes());
}

// ---- the documents ----------------------------------------------------------

std::string compact(const std::string& pretty) {
    std::string out;
    bool in_string = false;
    for (std::size_t i = 0; i < pretty.size(); ++i) {
        const char c = pretty[i];
        if (in_string && c == '\\') {
            out += pretty.substr(i, 2);
            ++i;
            continue;
        }
        if (c == '"') {
            in_string = !in_string;
        }
        if (in_string || (c != ' ' && c != '\n')) {
            out += c;
        }
    }
    return out;
}

// The text of the member `name` (its value) in `document`, found by its
// first occurrence.
std::string member_value(const std::string& document, std::string_view name) {
    const auto key = document.find("\"" + std::string(name) + "\"");
    const auto begin = document.find_first_of("{[", key);
    int depth = 0;
    for (std::size_t i = begin; i < document.size(); ++i) {
        depth += document[i] == '{' || document[i] == '[' ? 1 : 0;
        depth -= document[i] == '}' || document[i] == ']' ? 1 : 0;
        if (depth == 0) {
            return document.substr(begin, i + 1 - begin);
        }
    }
    return {};
}

struct Seed {
    std::string kind;
    std::string text;
};

std::vector<Seed> seeds() {
    const auto keystore = read_file(kGoldenDir / "keystore.json");
    const auto manifest = read_file(kGoldenDir / "manifest-sv3.json");
    const auto store = read_file(kGoldenDir / "store.json");
    // An envelope of a few bytes keeps its variants few.
    std::string encrypted = member_value(keystore, "envelope");
    const auto ciphertext = encrypted.find("\"ciphertext\"");
    encrypted = encrypted.substr(0, encrypted.find('[', ciphertext)) + "[1, 2, 255]\n  }";
    const std::string kdf =
        R"({"algorithm": "argon2id", "m_cost_kib": 8192, "t_cost": 1, "parallelism": 1})";
    std::vector<Seed> out = {{"kdf", kdf},
                             {"encrypted", encrypted},
                             {"keystore", keystore},
                             {"manifest", manifest},
                             {"store", store}};
    for (const auto& seed : std::vector<Seed>(out)) {
        out.push_back({seed.kind, compact(seed.text)});
    }
    return out;
}

// Where each value after a colon or in a list begins and ends.
std::vector<std::pair<std::size_t, std::size_t>> value_spans(const std::string& text) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            const auto close = text.find('"', i + 1);
            if (close == std::string::npos) {
                break;
            }
            i = close;
            continue;
        }
        if (text[i] != ':' && text[i] != ',' && text[i] != '[') {
            continue;
        }
        auto begin = text.find_first_not_of(" \n", i + 1);
        if (begin == std::string::npos) {
            break;
        }
        std::size_t end = begin;
        if (text[begin] == '"') {
            end = text.find('"', begin + 1) + 1;
        } else if (text[begin] == '{' || text[begin] == '[') {
            int depth = 0;
            for (end = begin; end < text.size(); ++end) {
                depth += text[end] == '{' || text[end] == '[' ? 1 : 0;
                depth -= text[end] == '}' || text[end] == ']' ? 1 : 0;
                if (depth == 0) {
                    ++end;
                    break;
                }
            }
        } else {
            end = text.find_first_of(",}] \n", begin);
        }
        if (end != std::string::npos && end > begin) {
            spans.emplace_back(begin, end);
        }
    }
    return spans;
}

std::vector<std::string> variants_of(const std::string& document) {
    const auto tokens =
        zdz::test::tokens_put_in({":"}, {"\"expires_at\":null,", "\"associated_data\":[],", " \n"});
    const std::string replacements = "\"0} x\\\x01\xC3";
    const std::vector<std::string> values = {"null",
                                             "true",
                                             "0",
                                             "-1",
                                             "1.5",
                                             "-0",
                                             "1e400",
                                             "255",
                                             "256",
                                             "65536",
                                             "4294967296",
                                             "18446744073709551615",
                                             "18446744073709551616",
                                             "\"\"",
                                             "\"x\"",
                                             "\"caf\\u00e9\\n\"",
                                             "\"\\ud800\"",
                                             "\"sha256:00\"",
                                             "\"2025-03-02T10:00:00+01:00\"",
                                             "\"2025-13-02T10:00:00Z\"",
                                             "\"0B7A4C1E-5D2F-4A83-9C61-2E8F5A7D3B90\"",
                                             "[]",
                                             "[1,2]",
                                             "[\"a\"]",
                                             "{}",
                                             "{\"a\":1}"};
    std::vector<std::string> out;
    for (std::size_t i = 0; i <= document.size(); ++i) {
        const auto before = document.substr(0, i);
        out.push_back(before);
        if (i == document.size()) {
            break;
        }
        const auto after = document.substr(i + 1);
        out.push_back(before + after);
        for (const char c : replacements) {
            if (c != document[i]) {
                out.push_back(before + c + after);
            }
        }
        for (const auto& token : tokens) {
            out.push_back(before + token + document.substr(i));
        }
    }
    for (const auto& [begin, end] : value_spans(document)) {
        const auto value = document.substr(begin, end - begin);
        // A member repeated, and one removed with its name.
        out.push_back(document.substr(0, end) + "," + document.substr(begin));
        for (const auto& replacement : values) {
            out.push_back(document.substr(0, begin) + replacement + document.substr(end));
        }
    }
    return out;
}

// ---- the case file ------------------------------------------------------------

std::string escaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else if (text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            out += text[i + 1];
            ++i;
        }
    }
    return out;
}

struct Case {
    std::string kind;
    std::string text;
    std::string expected;
};

std::vector<Case> recorded_cases() {
    std::ifstream in(kOutcomes);
    std::vector<Case> cases;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto tab = line.find('\t');
        const auto second = line.find('\t', tab + 1);
        cases.push_back({line.substr(0, tab), unescaped(line.substr(tab + 1, second - tab - 1)),
                         line.substr(second + 1)});
    }
    return cases;
}

// The kind of an outcome: its words up to the second colon, without its
// place, numbers, or what it quotes.
std::string outcome_class(const std::string& kind, const std::string& result) {
    if (result.rfind("ok", 0) == 0) {
        return kind + " ok";
    }
    const auto words = result.substr(0, result.rfind(" at line "));
    std::string out = kind + " ";
    char quote = 0;
    int colons = 0;
    for (std::size_t i = 0; i < words.size() && colons < 2; ++i) {
        const char c = words[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
            i += c == '\\' ? 1 : 0;
        } else if (c == '`' || c == '"') {
            quote = c;
            out += c;
        } else if (c < '0' || c > '9') {
            colons += c == ':' ? 1 : 0;
            out += c;
        }
    }
    return out;
}

// Whether the fields a description binds stand in `record` in the order the
// description lists them: a record read is built from its members in that
// order.
template <class R>
bool bound_in_declaration_order(const R& record) {
    const auto members = describe(zdz::json::Type<R>{}).members;
    return std::apply(
        [&](const auto&... member) {
            const std::vector<const void*> at = {&(record.*member.field)...};
            return std::is_sorted(at.begin(), at.end(), std::less<>());
        },
        members);
}

}  // namespace

TEST(RecordOutcomes, DescriptionsBindTheFieldsInDeclarationOrder) {
    const auto keystore = zdz::store::read_keystore_json(read_file(kGoldenDir / "keystore.json"));
    const auto manifest =
        zdz::trust::read_manifest_json(read_file(kGoldenDir / "manifest-sv3.json"));
    const auto store = zdz::envelope::read_signed_envelope_json<zdz::store::RegistrySnapshotBody>(
        read_file(kGoldenDir / "store.json"));
    ASSERT_TRUE(keystore && manifest && store);
    EXPECT_TRUE(bound_in_declaration_order(*keystore));
    EXPECT_TRUE(bound_in_declaration_order(keystore->kdf));
    EXPECT_TRUE(bound_in_declaration_order(keystore->envelope));
    EXPECT_TRUE(bound_in_declaration_order(*manifest));
    EXPECT_TRUE(bound_in_declaration_order(manifest->body));
    EXPECT_TRUE(bound_in_declaration_order(*store));
    EXPECT_TRUE(bound_in_declaration_order(store->payload));
    ASSERT_FALSE(store->payload.platforms.empty());
    EXPECT_TRUE(bound_in_declaration_order(store->payload.platforms[0]));
    ASSERT_FALSE(store->payload.platforms[0].history.empty());
    EXPECT_TRUE(bound_in_declaration_order(store->payload.platforms[0].history[0]));
}

TEST(RecordOutcomes, EveryRecordedDocumentReadsAsRecorded) {
    const auto cases = recorded_cases();
    ASSERT_GT(cases.size(), 300U) << kOutcomes;
    std::size_t differences = 0;
    for (const auto& c : cases) {
        const auto actual = outcome(c.kind, c.text);
        if (actual != c.expected && ++differences <= 10) {
            ADD_FAILURE() << c.kind << " document: " << escaped(c.text)
                          << "\nrecorded: " << c.expected << "\nread:     " << actual;
        }
    }
    EXPECT_EQ(differences, 0U) << "of " << cases.size();
}

TEST(RecordOutcomes, WholeMutatedSet) {
    const char* corpus = std::getenv("ZDZ_RECORD_CORPUS");
    if (corpus == nullptr) {
        GTEST_SKIP() << "ZDZ_RECORD_CORPUS names no file";
    }
    const char* regenerate = std::getenv("ZDZ_REGENERATE_GOLDEN");
    std::ofstream all(corpus, std::ios::binary | std::ios::trunc);
    // Of each kind of outcome the first case, the shortest and the 50th.
    struct Kept {
        std::size_t seen = 0;
        std::string first;
        std::string shortest;
        std::string fiftieth;
    };
    std::map<std::string, Kept> per_class;
    std::size_t count = 0;
    for (const auto& seed : seeds()) {
        ASSERT_EQ(outcome(seed.kind, seed.text).substr(0, 2), "ok") << seed.kind;
        for (const auto& text : variants_of(seed.text)) {
            const auto result = outcome(seed.kind, text);
            const auto line = seed.kind + "\t" + escaped(text) + "\t" + result + "\n";
            all << line;
            ++count;
            auto& kept = per_class[outcome_class(seed.kind, result)];
            if (++kept.seen == 1) {
                kept.first = line;
            }
            if (kept.shortest.empty() || line.size() < kept.shortest.size()) {
                kept.shortest = line;
            }
            if (kept.seen == 50) {
                kept.fiftieth = line;
            }
        }
    }
    ASSERT_TRUE(all.flush());
    std::cout << count << " documents\n";
    if (regenerate != nullptr && std::string_view(regenerate) == "1") {
        fs::create_directories(kOutcomes.parent_path());
        std::ofstream out(kOutcomes, std::ios::binary | std::ios::trunc);
        out << "# kind, document, outcome; made by RecordOutcomes.WholeMutatedSet "
               "(tests/store/record_outcomes_test.cpp)\n";
        for (const auto& [name, kept] : per_class) {
            std::set<std::string> lines = {kept.first, kept.shortest, kept.fiftieth};
            for (const auto& line : lines) {
                out << line;
            }
        }
        ASSERT_TRUE(out.flush());
    }
}
