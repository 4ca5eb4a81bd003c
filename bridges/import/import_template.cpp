#include "bridges/import/import_template.h"

#include <array>
#include <ctime>
#include <string_view>

namespace lumivane {

namespace {

struct TokenName {
    std::string_view text;
    int token;
};

std::string twoDigits(int value) {
    std::string text = std::to_string(value);
    return value < 10 ? "0" + text : text;
}

// A token's value as one part of a path: no folder separator, no NUL.
std::string asPart(std::string value) {
    for (auto& c : value)
        if (c == '/' || c == '\0') c = '_';
    return value;
}

Error badTemplate(const std::string& text, const std::string& why) {
    return Error{Error::Code::badInput, "The template \"" + text + "\" " + why};
}

}  // namespace

Result<ImportTemplate> ImportTemplate::parse(const std::string& text, Kind kind) {
    static constexpr std::array<std::pair<std::string_view, Token>, 11> kTokens{{
        {"YYYY", Token::year},
        {"MM", Token::month},
        {"DD", Token::day},
        {"hh", Token::hour},
        {"mm", Token::minute},
        {"ss", Token::second},
        {"name", Token::name},
        {"ext", Token::extension},
        {"seq", Token::sequence},
        {"device", Token::device},
        {"job", Token::shoot},
    }};
    if (text.size() > 1024) return failure(badTemplate(text.substr(0, 32) + "…", "is too long."));
    if (text.find('\0') != std::string::npos) return failure(badTemplate("", "holds a NUL character."));
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return failure(badTemplate("", "holds a control character (a line break, a tab)."));
    ImportTemplate parsed;
    parsed.text_ = text;
    if (kind == Kind::fileName && text.find('/') != std::string::npos)
        return failure(badTemplate(text, "for a file name cannot hold \"/\"."));
    if (kind == Kind::fileName && text.empty()) return failure(badTemplate(text, "for a file name is empty."));
    if (kind == Kind::folders && !text.empty()) {
        if (text.front() == '/')
            return failure(badTemplate(text, "must lie inside the destination, not start with \"/\"."));
        std::string_view rest = text;
        for (;;) {
            auto slash = rest.find('/');
            auto part = rest.substr(0, slash);
            if (part.empty()) return failure(badTemplate(text, "has an empty folder name."));
            if (part == "." || part == "..")
                return failure(badTemplate(text, "must lie inside the destination, without \".\" or \"..\"."));
            if (slash == std::string_view::npos) break;
            rest.remove_prefix(slash + 1);
        }
    }
    std::string literal;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == '{') {
            auto close = text.find('}', at);
            if (close == std::string::npos) return failure(badTemplate(text, "has a \"{\" without its \"}\"."));
            std::string_view name(text.data() + at + 1, close - at - 1);
            bool known = false;
            for (const auto& [tokenText, token] : kTokens)
                if (tokenText == name) {
                    if (!literal.empty()) parsed.pieces_.emplace_back(std::move(literal));
                    literal.clear();
                    parsed.pieces_.emplace_back(token);
                    known = true;
                }
            if (!known) return failure(badTemplate(text, "has an unknown token {" + std::string(name) + "}."));
            at = close + 1;
        } else if (text[at] == '}') {
            return failure(badTemplate(text, "has a \"}\" without its \"{\"."));
        } else {
            literal += text[at++];
        }
    }
    if (!literal.empty()) parsed.pieces_.emplace_back(std::move(literal));
    // A template whose shortest rendering is already too long for a name
    // would fail every item: refused now, before a job starts.
    const std::size_t longest = kind == Kind::folders ? kMaxName : kMaxName - kRoomForExtension;
    std::size_t part = 0;
    for (const auto& piece : parsed.pieces_) {
        auto tooLong = [&] {
            return failure(badTemplate(text.substr(0, 32) + "…", "gives names longer than a file name can be."));
        };
        if (const auto* literal = std::get_if<std::string>(&piece)) {
            std::size_t start = 0;
            for (auto slash = literal->find('/'); slash != std::string::npos; slash = literal->find('/', start)) {
                if (part + (slash - start) > longest) return tooLong();
                part = 0;
                start = slash + 1;
            }
            part += literal->size() - start;
        } else {
            part += shortest(std::get<Token>(piece));
        }
        if (part > longest) return tooLong();
    }
    return parsed;
}

std::size_t ImportTemplate::shortest(Token token) {
    switch (token) {
        case Token::year: return 4;
        case Token::month:
        case Token::day:
        case Token::hour:
        case Token::minute:
        case Token::second: return 2;
        case Token::extension: return 0;
        case Token::name:
        case Token::sequence:
        case Token::device:
        case Token::shoot: return 1;
    }
    return 0;
}

bool ImportTemplate::usesShoot() const {
    for (const auto& piece : pieces_)
        if (const auto* token = std::get_if<Token>(&piece); token && *token == Token::shoot) return true;
    return false;
}

Result<std::string> ImportTemplate::render(const ImportNameFields& fields) const {
    std::time_t seconds = static_cast<std::time_t>(fields.captureTime);
    std::tm local{};
    localtime_r(&seconds, &local);
    std::string out;
    for (const auto& piece : pieces_) {
        if (const auto* literal = std::get_if<std::string>(&piece)) {
            out += *literal;
            continue;
        }
        switch (std::get<Token>(piece)) {
            case Token::year: out += std::to_string(local.tm_year + 1900); break;
            case Token::month: out += twoDigits(local.tm_mon + 1); break;
            case Token::day: out += twoDigits(local.tm_mday); break;
            case Token::hour: out += twoDigits(local.tm_hour); break;
            case Token::minute: out += twoDigits(local.tm_min); break;
            case Token::second: out += twoDigits(local.tm_sec); break;
            case Token::name: out += asPart(fields.name); break;
            case Token::extension: out += asPart(fields.extension); break;
            case Token::sequence: out += std::to_string(fields.sequence); break;
            case Token::device: out += asPart(fields.device); break;
            case Token::shoot: out += asPart(fields.shoot); break;
        }
    }
    // Each part a plain name: tokens may have rendered to nothing or to dots.
    std::string_view rest = out;
    while (!out.empty()) {
        auto slash = rest.find('/');
        auto part = rest.substr(0, slash);
        if (part.empty() || part == "." || part == "..")
            return failure(
                Error{Error::Code::badInput, "The template \"" + text_ + "\" gives \"" + out +
                                                 "\" for this item, which is no name inside the destination."});
        if (part.size() > 255)
            return failure(
                Error{Error::Code::badInput, "The template \"" + text_ + "\" gives a name too long for a file."});
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return out;
}

}  // namespace lumivane
