// A recursive-descent parser for the IDL subset described in TypeDescription.h. It refuses
// anything outside the subset with the line of the offending text, so a typo in a control's
// description fails its registration instead of producing a different interface.
#include "platform/com/TypeDescription.h"

#include "platform/AsciiCase.h"
#include "platform/com/GuidText.h"

#include <cctype>
#include <cstdlib>
#include <set>

namespace platform::com {

bool sameNameNoCase(std::string_view a, std::string_view b) {
    return platform::sameAsciiNoCase(a, b);
}

const InterfaceInfo* LibraryInfo::findInterface(std::string_view name) const {
    for (const InterfaceInfo& item : interfaces) {
        if (item.name == name)
            return &item;
    }
    return nullptr;
}

namespace {

enum class Tok { End, Ident, Number, String, Punct };

struct Token {
    Tok kind = Tok::End;
    std::string text;
    int line = 1;
};

struct ParseError {
    std::string message;
};

struct Attribute {
    std::string name;
    std::optional<std::string> value;
    int line = 0;
};

constexpr size_t kMaxText = 1024 * 1024;
constexpr size_t kMaxNameLength = 255;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) { advance(); }

    LibraryInfo parseFile() {
        bool sawLibrary = false;
        while (current_.kind != Tok::End) {
            if (isWord("importlib")) {
                parseImportLib();
                continue;
            }
            std::vector<Attribute> attributes = parseAttributes();
            if (isWord("interface")) {
                parseInterface(attributes);
            } else if (isWord("library")) {
                if (sawLibrary)
                    fail("a description holds one library");
                parseLibrary(attributes);
                sawLibrary = true;
            } else {
                fail("expected 'library' or 'interface', found " + describe(current_));
            }
        }
        if (!sawLibrary)
            fail("no library");
        return std::move(library_);
    }

private:
    [[noreturn]] void fail(const std::string& message, int line = 0) const {
        throw ParseError{"line " + std::to_string(line != 0 ? line : current_.line) + ": " + message};
    }

    static std::string describe(const Token& token) {
        switch (token.kind) {
        case Tok::End:
            return "the end of the text";
        case Tok::String:
            return "\"" + token.text + "\"";
        default:
            return "'" + token.text + "'";
        }
    }

    void skipBlanks() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++pos_;
            } else if (text_.compare(pos_, 2, "//") == 0) {
                while (pos_ < text_.size() && text_[pos_] != '\n')
                    ++pos_;
            } else if (text_.compare(pos_, 2, "/*") == 0) {
                const size_t end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos)
                    fail("unterminated comment", line_);
                for (size_t i = pos_; i < end; ++i)
                    line_ += text_[i] == '\n' ? 1 : 0;
                pos_ = end + 2;
            } else {
                return;
            }
        }
    }

    void advance() {
        skipBlanks();
        current_ = Token{};
        current_.line = line_;
        if (pos_ >= text_.size())
            return;
        const char c = text_[pos_];
        const auto isWordChar = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; };
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            const size_t start = pos_;
            while (pos_ < text_.size() && isWordChar(text_[pos_]))
                ++pos_;
            current_.kind = Tok::Ident;
            current_.text = std::string(text_.substr(start, pos_ - start));
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            const size_t start = pos_;
            while (pos_ < text_.size() && (isWordChar(text_[pos_]) || text_[pos_] == '.'))
                ++pos_;
            current_.kind = Tok::Number;
            current_.text = std::string(text_.substr(start, pos_ - start));
        } else if (c == '"') {
            ++pos_;
            std::string value;
            while (true) {
                if (pos_ >= text_.size() || text_[pos_] == '\n')
                    fail("unterminated string", current_.line);
                const char ch = text_[pos_++];
                if (ch == '"')
                    break;
                if (ch == '\\') {
                    if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\'))
                        fail("only \\\" and \\\\ may be escaped in a string", line_);
                    value.push_back(text_[pos_++]);
                } else {
                    value.push_back(ch);
                }
            }
            current_.kind = Tok::String;
            current_.text = std::move(value);
        } else if (std::string_view("[](){},;:*").find(c) != std::string_view::npos) {
            current_.kind = Tok::Punct;
            current_.text = std::string(1, c);
            ++pos_;
        } else {
            fail(std::string("unexpected character '") + c + "'", line_);
        }
    }

    bool isPunct(char c) const { return current_.kind == Tok::Punct && current_.text[0] == c; }
    bool isWord(std::string_view word) const { return current_.kind == Tok::Ident && current_.text == word; }

    void expectPunct(char c) {
        if (!isPunct(c))
            fail(std::string("expected '") + c + "', found " + describe(current_));
        advance();
    }

    void expectWord(std::string_view word) {
        if (!isWord(word))
            fail("expected '" + std::string(word) + "', found " + describe(current_));
        advance();
    }

    std::string expectName(const char* what) {
        if (current_.kind != Tok::Ident)
            fail(std::string("expected ") + what + ", found " + describe(current_));
        if (current_.text.size() > kMaxNameLength)
            fail(std::string(what) + " is too long");
        std::string name = current_.text;
        advance();
        return name;
    }

    void parseImportLib() {
        advance();
        expectPunct('(');
        if (current_.kind != Tok::String)
            fail("importlib needs a file name in quotes");
        advance();
        expectPunct(')');
        expectPunct(';');
    }

    std::vector<Attribute> parseAttributes() {
        std::vector<Attribute> attributes;
        if (!isPunct('['))
            return attributes;
        advance();
        while (true) {
            Attribute attribute;
            attribute.line = current_.line;
            attribute.name = expectName("an attribute");
            if (isPunct('(')) {
                if (attribute.name == "uuid") {
                    attribute.value = rawUntilParen();
                } else {
                    advance();
                    if (current_.kind != Tok::Ident && current_.kind != Tok::Number && current_.kind != Tok::String)
                        fail("attribute " + attribute.name + " needs a value");
                    attribute.value = current_.text;
                    advance();
                }
                expectPunct(')');
            }
            for (const Attribute& seen : attributes) {
                if (seen.name == attribute.name)
                    fail("attribute " + attribute.name + " is given twice", attribute.line);
            }
            attributes.push_back(std::move(attribute));
            if (isPunct(']')) {
                advance();
                return attributes;
            }
            expectPunct(',');
        }
    }

    // uuid(...) holds a bare GUID, which is no token of its own: with '(' the current token,
    // the text up to ')' is read raw.
    std::string rawUntilParen() {
        const size_t end = text_.find(')', pos_);
        if (end == std::string_view::npos)
            fail("unterminated uuid(...)");
        std::string raw(text_.substr(pos_, end - pos_));
        for (char c : raw)
            line_ += c == '\n' ? 1 : 0;
        pos_ = end;
        advance(); // now at ')'
        return raw;
    }

    static void checkAllowed(const std::vector<Attribute>& attributes, std::initializer_list<const char*> allowed,
                             const char* where, const Parser& parser) {
        for (const Attribute& attribute : attributes) {
            bool known = false;
            for (const char* name : allowed)
                known = known || attribute.name == name;
            if (!known)
                parser.fail("attribute " + attribute.name + " is not allowed on " + where, attribute.line);
        }
    }

    static const Attribute* find(const std::vector<Attribute>& attributes, std::string_view name) {
        for (const Attribute& attribute : attributes) {
            if (attribute.name == name)
                return &attribute;
        }
        return nullptr;
    }

    bool flag(const std::vector<Attribute>& attributes, std::string_view name) const {
        const Attribute* attribute = find(attributes, name);
        if (attribute != nullptr && attribute->value)
            fail("attribute " + attribute->name + " takes no value", attribute->line);
        return attribute != nullptr;
    }

    std::optional<std::string> valued(const std::vector<Attribute>& attributes, std::string_view name,
                                      bool required, const char* where) const {
        const Attribute* attribute = find(attributes, name);
        if (attribute == nullptr) {
            if (required)
                fail(std::string(where) + " needs " + std::string(name) + "(...)");
            return std::nullopt;
        }
        if (!attribute->value)
            fail("attribute " + attribute->name + " needs a value", attribute->line);
        return attribute->value;
    }

    GUID uuidOf(const std::vector<Attribute>& attributes, const char* where) const {
        const std::string text = *valued(attributes, "uuid", true, where);
        std::string trimmed;
        for (char c : text) {
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                trimmed.push_back(c);
        }
        const auto guid = guidFromText(trimmed.starts_with("{") ? trimmed : "{" + trimmed + "}");
        if (!guid)
            fail("uuid(" + text + ") is not a GUID of the form 8-4-4-4-12", find(attributes, "uuid")->line);
        return *guid;
    }

    std::optional<uint32_t> number(const std::string& text) const {
        if (text.empty() || text.size() > 12)
            return std::nullopt;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
        if (end == nullptr || *end != '\0' || value > 0xFFFFFFFFull)
            return std::nullopt;
        return static_cast<uint32_t>(value);
    }

    void parseLibrary(const std::vector<Attribute>& attributes) {
        checkAllowed(attributes, {"uuid", "version", "lcid", "helpstring", "syskind"}, "a library", *this);
        advance();
        library_.name = expectName("a library name");
        library_.libid = uuidOf(attributes, "the library");
        const std::string version = *valued(attributes, "version", true, "the library");
        const size_t dot = version.find('.');
        const auto major = number(version.substr(0, dot));
        const auto minor = dot == std::string::npos ? std::optional<uint32_t>(0) : number(version.substr(dot + 1));
        if (!major || !minor || *major > 0xFFFF || *minor > 0xFFFF)
            fail("version(" + version + ") is not major.minor");
        library_.majorVersion = static_cast<uint16_t>(*major);
        library_.minorVersion = static_cast<uint16_t>(*minor);
        if (const auto lcid = valued(attributes, "lcid", false, "the library")) {
            const auto value = number(*lcid);
            if (!value)
                fail("lcid(" + *lcid + ") is not a number");
            library_.lcid = *value;
        }
        library_.helpString = valued(attributes, "helpstring", false, "the library").value_or("");
        const std::string syskind = *valued(attributes, "syskind", true, "the library");
        if (syskind == "win32")
            library_.systemKind = SystemKind::Win32;
        else if (syskind == "win64")
            library_.systemKind = SystemKind::Win64;
        else
            fail("syskind(" + syskind + ") is neither win32 nor win64");

        expectPunct('{');
        while (!isPunct('}')) {
            if (current_.kind == Tok::End)
                fail("library " + library_.name + " is not closed");
            if (isWord("importlib")) {
                parseImportLib();
                continue;
            }
            std::vector<Attribute> inner = parseAttributes();
            if (isWord("interface"))
                parseInterface(inner);
            else if (isWord("coclass"))
                parseCoclass(inner);
            else
                fail("expected 'interface' or 'coclass', found " + describe(current_));
        }
        advance();
        if (isPunct(';'))
            advance();
    }

    void checkNewTypeName(const std::string& name) const {
        for (const InterfaceInfo& item : library_.interfaces) {
            if (sameNameNoCase(item.name, name))
                fail(name + " is declared twice");
        }
        for (const CoclassInfo& item : library_.coclasses) {
            if (sameNameNoCase(item.name, name))
                fail(name + " is declared twice");
        }
    }

    void parseInterface(const std::vector<Attribute>& attributes) {
        checkAllowed(attributes,
                     {"object", "uuid", "dual", "oleautomation", "helpstring", "hidden", "nonextensible",
                      "pointer_default"},
                     "an interface", *this);
        const int line = current_.line;
        advance();
        InterfaceInfo item;
        item.name = expectName("an interface name");
        checkNewTypeName(item.name);
        item.iid = uuidOf(attributes, "an interface");
        item.helpString = valued(attributes, "helpstring", false, "an interface").value_or("");
        item.dual = flag(attributes, "dual");
        item.oleAutomation = flag(attributes, "oleautomation") || item.dual;
        item.hidden = flag(attributes, "hidden");
        item.nonExtensible = flag(attributes, "nonextensible");
        flag(attributes, "object");
        expectPunct(':');
        if (!isWord("IDispatch"))
            fail("interface " + item.name + " must derive from IDispatch", line);
        advance();
        expectPunct('{');
        std::set<int32_t> dispids;
        while (!isPunct('}')) {
            if (current_.kind == Tok::End)
                fail("interface " + item.name + " is not closed");
            MemberInfo member = parseMember();
            for (const MemberInfo& other : item.members) {
                if (sameNameNoCase(other.name, member.name))
                    fail("member " + member.name + " is declared twice");
            }
            if (!dispids.insert(member.dispid).second)
                fail("id(" + std::to_string(member.dispid) + ") is used twice");
            item.members.push_back(std::move(member));
        }
        advance();
        expectPunct(';');
        library_.types.push_back({true, library_.interfaces.size()});
        library_.interfaces.push_back(std::move(item));
    }

    MemberInfo parseMember() {
        const std::vector<Attribute> attributes = parseAttributes();
        checkAllowed(attributes, {"id", "propget", "helpstring", "hidden"}, "a member", *this);
        MemberInfo member;
        const std::string id = *valued(attributes, "id", true, "a member");
        const auto value = number(id);
        if (!value)
            fail("id(" + id + ") is not a number");
        member.dispid = static_cast<int32_t>(*value);
        member.kind = flag(attributes, "propget") ? MemberKind::PropertyGet : MemberKind::Method;
        member.helpString = valued(attributes, "helpstring", false, "a member").value_or("");
        member.hidden = flag(attributes, "hidden");
        if (!isWord("HRESULT"))
            fail("members return HRESULT, found " + describe(current_));
        advance();
        member.name = expectName("a member name");
        expectPunct('(');
        if (isWord("void")) {
            advance();
        } else {
            while (!isPunct(')')) {
                if (!member.params.empty())
                    expectPunct(',');
                if (member.hasRetval())
                    fail("the [out, retval] parameter of " + member.name + " must be the last");
                ParamInfo param = parseParam();
                for (const ParamInfo& other : member.params) {
                    if (sameNameNoCase(other.name, param.name))
                        fail("parameter " + param.name + " of " + member.name + " is declared twice");
                }
                member.params.push_back(std::move(param));
                if (member.params.size() > 32)
                    fail(member.name + " has too many parameters");
            }
        }
        expectPunct(')');
        expectPunct(';');
        if (member.kind == MemberKind::PropertyGet && !member.hasRetval())
            fail("property " + member.name + " needs an [out, retval] parameter");
        return member;
    }

    ParamInfo parseParam() {
        const std::vector<Attribute> attributes = parseAttributes();
        checkAllowed(attributes, {"in", "out", "retval"}, "a parameter", *this);
        ParamInfo param;
        param.in = flag(attributes, "in");
        const bool out = flag(attributes, "out");
        param.retval = flag(attributes, "retval");
        if (out != param.retval)
            fail("only [out, retval] out parameters are supported");
        if (param.in && param.retval)
            fail("a parameter is either [in] or [out, retval]");
        const std::string type = expectName("a parameter type");
        bool pointer = false;
        if (isPunct('*')) {
            pointer = true;
            advance();
        }
        if (type == "BSTR")
            param.type = ValueType::Bstr;
        else if (type == "long" || type == "LONG")
            param.type = ValueType::Long;
        else if (type == "VARIANT_BOOL")
            param.type = ValueType::VariantBool;
        else if (type == "VARIANT" && param.retval)
            param.type = ValueType::Variant;
        else
            fail("parameter type " + type + (pointer ? "*" : "") + " is not supported");
        if (pointer != param.retval)
            fail(param.retval ? "an [out, retval] parameter is a pointer" : "input parameters are passed by value");
        param.name = expectName("a parameter name");
        return param;
    }

    void parseCoclass(const std::vector<Attribute>& attributes) {
        checkAllowed(attributes, {"uuid", "helpstring", "noncreatable", "version"}, "a coclass", *this);
        advance();
        CoclassInfo item;
        item.name = expectName("a coclass name");
        checkNewTypeName(item.name);
        item.clsid = uuidOf(attributes, "a coclass");
        item.helpString = valued(attributes, "helpstring", false, "a coclass").value_or("");
        item.creatable = !flag(attributes, "noncreatable");
        expectPunct('{');
        bool sawDefault = false;
        while (!isPunct('}')) {
            if (current_.kind == Tok::End)
                fail("coclass " + item.name + " is not closed");
            const std::vector<Attribute> inner = parseAttributes();
            checkAllowed(inner, {"default"}, "a coclass interface", *this);
            expectWord("interface");
            const std::string name = expectName("an interface name");
            if (library_.findInterface(name) == nullptr)
                fail("interface " + name + " is not declared before coclass " + item.name);
            for (const std::string& other : item.interfaces) {
                if (other == name)
                    fail("interface " + name + " is listed twice");
            }
            if (flag(inner, "default")) {
                if (sawDefault)
                    fail("coclass " + item.name + " has two default interfaces");
                sawDefault = true;
                item.defaultInterface = item.interfaces.size();
            }
            item.interfaces.push_back(name);
            expectPunct(';');
        }
        advance();
        expectPunct(';');
        if (item.interfaces.empty())
            fail("coclass " + item.name + " implements no interface");
        library_.types.push_back({false, library_.coclasses.size()});
        library_.coclasses.push_back(std::move(item));
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
    Token current_;
    LibraryInfo library_;
};

} // namespace

std::optional<LibraryInfo> parseTypeDescription(std::string_view text, std::string* error) {
    try {
        if (text.size() > kMaxText)
            throw ParseError{"the description is larger than 1 MiB"};
        if (text.find('\0') != std::string_view::npos)
            throw ParseError{"the description holds a zero byte"};
        Parser parser(text);
        return parser.parseFile();
    } catch (const ParseError& failure) {
        if (error != nullptr)
            *error = failure.message;
    } catch (const std::exception& failure) {
        if (error != nullptr)
            *error = failure.what();
    }
    return std::nullopt;
}

} // namespace platform::com
