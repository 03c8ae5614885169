#include "codesign/Requirement.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "codesign/OpenSSLLifetime.h"

namespace velmora::codesign {

struct Requirement::Node {
    enum class Kind { allOf, anyOf, anchored, identifier, subjectAttribute, extension };
    Kind kind = Kind::anchored;
    std::unique_ptr<Node> left, right;
    int slot = 0;                      // certificate index; -1 for the root
    int attribute = NID_undef;         // subjectAttribute
    std::string oid;                   // extension
    std::optional<std::string> value;  // identifier, or the compared value; none for "exists"
};

namespace {

using Node = Requirement::Node;

struct Token {
    enum class Kind { word, string, symbol, end };
    Kind kind = Kind::end;
    std::string text;
    size_t offset = 0;
};

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    tl::expected<std::unique_ptr<Node>, std::string> parseAll() {
        if (!advance()) return tl::unexpected(error_);
        auto root = expression();
        if (!root) return root;
        if (current_.kind != Token::Kind::end) return fail("unexpected \"" + current_.text + "\"");
        return root;
    }

  private:
    using Result = tl::expected<std::unique_ptr<Node>, std::string>;

    tl::unexpected<std::string> fail(std::string what) {
        return tl::unexpected(what + " at offset " + std::to_string(current_.offset));
    }

    bool advance() {
        while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_])))
            ++position_;
        current_ = Token{Token::Kind::end, "", position_};
        if (position_ >= text_.size()) return true;
        char c = text_[position_];
        if (c == '(' || c == ')' || c == '[' || c == ']' || c == '=') {
            current_ = Token{Token::Kind::symbol, std::string(1, c), position_++};
            return true;
        }
        if (c == '"') {
            std::string value;
            for (++position_; position_ < text_.size() && text_[position_] != '"'; ++position_) {
                if (text_[position_] == '\\' && position_ + 1 < text_.size()) ++position_;
                value += text_[position_];
            }
            if (position_ >= text_.size()) {
                error_ = "unterminated string at offset " + std::to_string(current_.offset);
                return false;
            }
            ++position_;
            current_.kind = Token::Kind::string;
            current_.text = std::move(value);
            return true;
        }
        size_t start = position_;
        while (position_ < text_.size()) {
            char d = text_[position_];
            if (std::isspace(static_cast<unsigned char>(d)) || d == '(' || d == ')' || d == '[' || d == ']' ||
                d == '=' || d == '"')
                break;
            ++position_;
        }
        current_ = Token{Token::Kind::word, std::string(text_.substr(start, position_ - start)), start};
        return true;
    }

    bool accept(Token::Kind kind, std::string_view text) {
        return current_.kind == kind && current_.text == text;
    }

    tl::expected<void, std::string> expect(Token::Kind kind, std::string_view text) {
        if (!accept(kind, text)) return fail("expected \"" + std::string(text) + "\"");
        if (!advance()) return tl::unexpected(error_);
        return {};
    }

    Result binary(Node::Kind kind, std::string_view keyword, Result (Parser::*operand)()) {
        auto left = (this->*operand)();
        while (left && accept(Token::Kind::word, keyword)) {
            if (!advance()) return tl::unexpected(error_);
            auto right = (this->*operand)();
            if (!right) return right;
            auto node = std::make_unique<Node>();
            node->kind = kind;
            node->left = std::move(*left);
            node->right = std::move(*right);
            left = std::move(node);
        }
        return left;
    }

    Result expression() { return binary(Node::Kind::anyOf, "or", &Parser::conjunction); }
    Result conjunction() { return binary(Node::Kind::allOf, "and", &Parser::primary); }

    Result primary() {
        auto node = std::make_unique<Node>();
        if (accept(Token::Kind::symbol, "(")) {
            // Each level recurses once; a bound keeps any text from exhausting the stack.
            if (++depth_ > kMaxDepth) return fail("nested too deeply");
            if (!advance()) return tl::unexpected(error_);
            auto inner = expression();
            --depth_;
            if (!inner) return inner;
            if (auto closed = expect(Token::Kind::symbol, ")"); !closed)
                return tl::unexpected(closed.error());
            return inner;
        }
        if (accept(Token::Kind::word, "anchor")) {
            for (std::string_view word : {"anchor", "apple", "generic"})
                if (auto ok = expect(Token::Kind::word, word); !ok) return tl::unexpected(ok.error());
            node->kind = Node::Kind::anchored;
            return node;
        }
        if (accept(Token::Kind::word, "identifier")) {
            if (!advance()) return tl::unexpected(error_);
            if (current_.kind != Token::Kind::string) return fail("expected a quoted identifier");
            node->kind = Node::Kind::identifier;
            node->value = current_.text;
            if (!advance()) return tl::unexpected(error_);
            return node;
        }
        if (accept(Token::Kind::word, "certificate")) return certificate(std::move(node));
        return fail(current_.kind == Token::Kind::end ? "unexpected end"
                                                      : "unexpected \"" + current_.text + "\"");
    }

    Result certificate(std::unique_ptr<Node> node) {
        if (!advance()) return tl::unexpected(error_);
        if (current_.kind != Token::Kind::word) return fail("expected leaf, root or an index");
        if (current_.text == "leaf") {
            node->slot = 0;
        } else if (current_.text == "root") {
            node->slot = -1;
        } else {
            if (current_.text.empty() || current_.text.size() > 3 ||
                current_.text.find_first_not_of("0123456789") != std::string::npos)
                return fail("expected leaf, root or an index");
            node->slot = std::stoi(current_.text);
        }
        if (!advance()) return tl::unexpected(error_);
        if (auto open = expect(Token::Kind::symbol, "["); !open) return tl::unexpected(open.error());
        if (current_.kind != Token::Kind::word) return fail("expected a certificate key");
        std::string key = current_.text;
        if (key.starts_with("subject.") && key.size() > 8) {
            node->kind = Node::Kind::subjectAttribute;
            node->attribute = OBJ_txt2nid(key.substr(8).c_str());
            if (node->attribute == NID_undef)
                return fail("unknown subject attribute \"" + key.substr(8) + "\"");
        } else if (key.starts_with("field.") && key.size() > 6) {
            node->kind = Node::Kind::extension;
            node->oid = key.substr(6);
            ASN1_OBJECT* object = OBJ_txt2obj(node->oid.c_str(), 1);
            if (object == nullptr) return fail("\"" + node->oid + "\" is not an OID");
            ASN1_OBJECT_free(object);
        } else {
            return fail("unknown certificate key \"" + key + "\"");
        }
        if (!advance()) return tl::unexpected(error_);
        if (auto close = expect(Token::Kind::symbol, "]"); !close) return tl::unexpected(close.error());
        if (accept(Token::Kind::word, "exists")) {
            if (!advance()) return tl::unexpected(error_);
        } else if (accept(Token::Kind::symbol, "=")) {
            if (node->kind == Node::Kind::extension) return fail("an extension can only be tested to exist");
            if (!advance()) return tl::unexpected(error_);
            if (current_.kind != Token::Kind::string) return fail("expected a quoted value");
            node->value = current_.text;
            if (!advance()) return tl::unexpected(error_);
        }
        return node;
    }

    static constexpr int kMaxDepth = 64;
    std::string_view text_;
    size_t position_ = 0;
    int depth_ = 0;
    Token current_;
    std::string error_;
};

X509* certificateAt(const SigningInfo& signing, int slot) {
    if (signing.chain.empty()) return nullptr;
    if (slot < 0) return signing.chain.back().get();
    return static_cast<size_t>(slot) < signing.chain.size() ? signing.chain[static_cast<size_t>(slot)].get()
                                                            : nullptr;
}

bool subjectMatches(X509* certificate, int attribute, const std::optional<std::string>& value) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    for (int index = X509_NAME_get_index_by_NID(subject, attribute, -1); index >= 0;
         index = X509_NAME_get_index_by_NID(subject, attribute, index)) {
        if (!value) return true;
        unsigned char* utf8 = nullptr;
        int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
        if (length < 0) continue;
        bool equal = std::string_view(reinterpret_cast<char*>(utf8), static_cast<size_t>(length)) == *value;
        OPENSSL_free(utf8);
        if (equal) return true;
    }
    return false;
}

bool hasExtension(X509* certificate, const std::string& oid) {
    ASN1_OBJECT* object = OBJ_txt2obj(oid.c_str(), 1);
    if (object == nullptr) return false;
    bool found = X509_get_ext_by_OBJ(certificate, object, -1) >= 0;
    ASN1_OBJECT_free(object);
    return found;
}

bool evaluate(const Node& node, const SigningInfo& signing) {
    switch (node.kind) {
        case Node::Kind::allOf:
            return evaluate(*node.left, signing) && evaluate(*node.right, signing);
        case Node::Kind::anyOf:
            return evaluate(*node.left, signing) || evaluate(*node.right, signing);
        case Node::Kind::anchored:
            return !signing.chain.empty();
        case Node::Kind::identifier:
            return signing.identifier == *node.value;
        case Node::Kind::subjectAttribute: {
            X509* certificate = certificateAt(signing, node.slot);
            return certificate != nullptr && subjectMatches(certificate, node.attribute, node.value);
        }
        case Node::Kind::extension: {
            X509* certificate = certificateAt(signing, node.slot);
            return certificate != nullptr && hasExtension(certificate, node.oid);
        }
    }
    return false;
}

}  // namespace

tl::expected<Requirement, CodeSignError> Requirement::parse(std::string_view text) {
    auto root = Parser(text).parseAll();
    if (!root)
        return tl::unexpected(CodeSignError{Status::requirementInvalid,
                                            "The requirement does not parse: " + root.error() + "."});
    return Requirement(std::shared_ptr<const Node>(std::move(*root)));
}

bool Requirement::isSatisfiedBy(const SigningInfo& signing) const {
    return evaluate(*root_, signing);
}

}  // namespace velmora::codesign
