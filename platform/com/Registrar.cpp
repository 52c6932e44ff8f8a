// The registrar: the whole script is parsed and checked first, so a malformed script changes
// nothing; then its keys are written or removed in order.
#include "platform/com/Registrar.h"

#include "platform/DebugOutput.h"
#include "platform/Registry.h"
#include "platform/com/ModuleResources.h"
#include "platform/com/TypeLibrary.h"
#include "platform/com/Utf16.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <vector>

namespace platform::com {

namespace {

struct ValueNode {
    std::string name; // empty: the default value
    bool isDword = false;
    std::string text;
    uint32_t dword = 0;
};

enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

struct KeyNode {
    KeyFlag flag = KeyFlag::None;
    std::string name;
    std::optional<ValueNode> defaultValue;
    std::vector<ValueNode> values;
    std::vector<KeyNode> keys;
};

struct RootNode {
    RegistryRoot root;
    std::vector<KeyNode> keys;
};

struct ScriptError {
    std::string message;
};

struct Word {
    std::string text;
    bool quoted = false;
    int line = 0;
};

constexpr size_t kMaxScript = 1024 * 1024;
constexpr int kMaxDepth = 32;

class ScriptParser {
public:
    ScriptParser(std::string_view text, const RegistrarVariables& variables) : text_(text), variables_(variables) {}

    std::vector<RootNode> parse() {
        std::vector<RootNode> roots;
        while (auto word = next()) {
            RootNode root{rootOf(*word), {}};
            expectBrace("{");
            root.keys = parseBody(1, nullptr);
            roots.push_back(std::move(root));
        }
        return roots;
    }

private:
    [[noreturn]] void fail(const std::string& message, int line) const {
        throw ScriptError{"line " + std::to_string(line) + ": " + message};
    }

    RegistryRoot rootOf(const Word& word) const {
        const std::string& name = word.text;
        if (!word.quoted) {
            if (name == "HKCR" || name == "HKEY_CLASSES_ROOT")
                return RegistryRoot::ClassesRoot;
            if (name == "HKLM" || name == "HKEY_LOCAL_MACHINE")
                return RegistryRoot::LocalMachine;
            if (name == "HKCU" || name == "HKEY_CURRENT_USER")
                return RegistryRoot::CurrentUser;
        }
        fail("expected a root key (HKCR, HKLM or HKCU), found '" + name + "'", word.line);
    }

    std::optional<Word> next() {
        if (pending_) {
            auto word = std::move(pending_);
            pending_.reset();
            return word;
        }
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
            line_ += text_[pos_] == '\n' ? 1 : 0;
            ++pos_;
        }
        if (pos_ >= text_.size())
            return std::nullopt;
        Word word;
        word.line = line_;
        std::string raw;
        if (text_[pos_] == '\'') {
            word.quoted = true;
            ++pos_;
            while (true) {
                if (pos_ >= text_.size())
                    fail("unterminated quoted text", word.line);
                const char c = text_[pos_++];
                if (c == '\'') {
                    if (pos_ < text_.size() && text_[pos_] == '\'') {
                        raw.push_back('\'');
                        ++pos_;
                        continue;
                    }
                    break;
                }
                line_ += c == '\n' ? 1 : 0;
                raw.push_back(c);
            }
        } else {
            while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])))
                raw.push_back(text_[pos_++]);
        }
        word.text = substitute(raw, word.line);
        return word;
    }

    std::string substitute(const std::string& raw, int line) const {
        std::string out;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '%') {
                out.push_back(raw[i]);
                continue;
            }
            const size_t end = raw.find('%', i + 1);
            if (end == std::string::npos)
                fail("unterminated %variable%", line);
            const std::string name = raw.substr(i + 1, end - i - 1);
            if (name.empty()) {
                out.push_back('%');
            } else {
                const auto found = variables_.find(name);
                if (found == variables_.end())
                    fail("unknown variable %" + name + "%", line);
                out += found->second;
            }
            i = end;
        }
        return out;
    }

    Word need(const char* what, int line) {
        auto word = next();
        if (!word)
            fail(std::string("expected ") + what + " before the end of the script", line);
        return *word;
    }

    static bool isBrace(const Word& word, const char* brace) { return !word.quoted && word.text == brace; }

    void expectBrace(const char* brace) {
        const Word word = need(brace, line_);
        if (!isBrace(word, brace))
            fail(std::string("expected '") + brace + "', found '" + word.text + "'", word.line);
    }

    void checkName(const Word& word) const {
        if (word.text.empty())
            fail("empty key or value name", word.line);
        if (word.text.find('\\') != std::string::npos)
            fail("name '" + word.text + "' holds a backslash", word.line);
        if (!word.quoted && (word.text == "{" || word.text == "}" || word.text == "="))
            fail("expected a name, found '" + word.text + "'", word.line);
    }

    ValueNode parseValue(const Word& afterEquals) {
        const Word type = need("a value type", afterEquals.line);
        const Word value = need("a value", type.line);
        ValueNode node;
        if (!type.quoted && (type.text == "s" || type.text == "S")) {
            node.text = value.text;
        } else if (!type.quoted && (type.text == "d" || type.text == "D")) {
            char* end = nullptr;
            const unsigned long long number =
                value.text.empty() ? ~0ull : std::strtoull(value.text.c_str(), &end, 0);
            if (value.text.empty() || value.text[0] == '-' || end == nullptr || *end != '\0' || number > 0xFFFFFFFFull)
                fail("'" + value.text + "' is not a DWORD", value.line);
            node.isDword = true;
            node.dword = static_cast<uint32_t>(number);
        } else {
            fail("value type '" + type.text + "' is not supported (s or d)", type.line);
        }
        return node;
    }

    std::vector<KeyNode> parseBody(int depth, KeyNode* owner) {
        if (depth > kMaxDepth)
            fail("keys nest too deeply", line_);
        std::vector<KeyNode> keys;
        while (true) {
            Word word = need("'}'", line_);
            if (isBrace(word, "}"))
                return keys;
            if (!word.quoted && word.text == "val") {
                if (owner == nullptr)
                    fail("a value needs a key", word.line);
                Word name = need("a value name", word.line);
                checkName(name);
                const Word equals = need("'='", name.line);
                if (equals.quoted || equals.text != "=")
                    fail("expected '=' after value " + name.text, equals.line);
                ValueNode value = parseValue(equals);
                value.name = name.text;
                owner->values.push_back(std::move(value));
                continue;
            }
            KeyNode key;
            if (!word.quoted) {
                if (word.text == "NoRemove")
                    key.flag = KeyFlag::NoRemove;
                else if (word.text == "ForceRemove")
                    key.flag = KeyFlag::ForceRemove;
                else if (word.text == "Delete")
                    key.flag = KeyFlag::Delete;
                if (key.flag != KeyFlag::None)
                    word = need("a key name", word.line);
            }
            checkName(word);
            key.name = word.text;
            auto following = next();
            if (following && !following->quoted && following->text == "=") {
                key.defaultValue = parseValue(*following);
                following = next();
            }
            if (following && isBrace(*following, "{")) {
                key.keys = parseBody(depth + 1, &key);
            } else {
                pending_ = std::move(following);
            }
            keys.push_back(std::move(key));
        }
    }

    std::string_view text_;
    const RegistrarVariables& variables_;
    size_t pos_ = 0;
    int line_ = 1;
    std::optional<Word> pending_;
};

std::string join(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "\\" + name;
}

bool writeValue(RegistryKey& key, const ValueNode& value) {
    return value.isDword ? key.setDword(value.name, value.dword) : key.setString(value.name, value.text);
}

void registerKey(RegistryRoot root, const std::string& parent, const KeyNode& node) {
    const std::string path = join(parent, node.name);
    if (node.flag == KeyFlag::Delete || node.flag == KeyFlag::ForceRemove) {
        if (RegistryKey::open(root, path))
            deleteTree(root, path);
        if (node.flag == KeyFlag::Delete)
            return;
    }
    auto key = RegistryKey::create(root, path);
    if (!key)
        throw ScriptError{"cannot create " + path + ": " + registryLastError()};
    if (node.defaultValue && !writeValue(*key, *node.defaultValue))
        throw ScriptError{"cannot write the default value of " + path + ": " + registryLastError()};
    for (const ValueNode& value : node.values) {
        if (!writeValue(*key, value))
            throw ScriptError{"cannot write " + path + "\\" + value.name + ": " + registryLastError()};
    }
    for (const KeyNode& child : node.keys)
        registerKey(root, path, child);
}

void unregisterKey(RegistryRoot root, const std::string& parent, const KeyNode& node) {
    const std::string path = join(parent, node.name);
    if (node.flag == KeyFlag::Delete)
        return;
    auto key = RegistryKey::open(root, path);
    if (!key)
        return; // already gone
    if (node.flag == KeyFlag::ForceRemove) {
        if (!deleteTree(root, path))
            throw ScriptError{"cannot delete " + path + ": " + registryLastError()};
        return;
    }
    for (const KeyNode& child : node.keys)
        unregisterKey(root, path, child);
    if (node.defaultValue)
        key->deleteValue("");
    for (const ValueNode& value : node.values)
        key->deleteValue(value.name);
    if (node.flag == KeyFlag::NoRemove)
        return;
    if (key->subkeyNames().empty() && key->valueNames().empty() && !deleteTree(root, path))
        throw ScriptError{"cannot delete " + path + ": " + registryLastError()};
}

} // namespace

HRESULT runRegistrationScript(std::string_view script, const RegistrarVariables& variables, bool doRegister,
                              std::string* error) {
    std::vector<RootNode> roots;
    try {
        if (script.size() > kMaxScript)
            throw ScriptError{"the script is larger than 1 MiB"};
        roots = ScriptParser(script, variables).parse();
    } catch (const ScriptError& failure) {
        if (error != nullptr)
            *error = failure.message;
        return E_INVALIDARG;
    }
    try {
        for (const RootNode& root : roots) {
            if (doRegister) {
                for (const KeyNode& key : root.keys)
                    registerKey(root.root, {}, key);
            } else {
                // Innermost and last first, the reverse of registering.
                for (auto it = root.keys.rbegin(); it != root.keys.rend(); ++it)
                    unregisterKey(root.root, {}, *it);
            }
        }
    } catch (const ScriptError& failure) {
        if (error != nullptr)
            *error = failure.message;
        return E_FAIL;
    }
    return S_OK;
}

} // namespace platform::com

using namespace platform::com;

extern "C" HRESULT STDAPICALLTYPE UpdateRegistryFromResource(HMODULE module, UINT nID, BOOL bRegister) {
    const auto script = moduleResource(module, "REGISTRY", nID);
    const std::string path = modulePath(module);
    if (!script || path.empty()) {
        platform::debugOutput("registrar: the module carries no REGISTRY resource " + std::to_string(nID));
        return E_INVALIDARG;
    }
    std::string error;
    const HRESULT result =
        runRegistrationScript(std::string_view(reinterpret_cast<const char*>(script->data()), script->size()),
                              {{"MODULE", path}}, bRegister != FALSE, &error);
    if (FAILED(result))
        platform::debugOutput("registrar: " + path + ": " + error);
    return result;
}

extern "C" HRESULT STDAPICALLTYPE RegisterServerModule(HMODULE module, UINT scriptId) {
    if (FAILED(UpdateRegistryFromResource(module, scriptId, TRUE)))
        return SELFREG_E_CLASS;
    ITypeLib* typeLib = nullptr;
    if (FAILED(LoadModuleTypeLib(module, &typeLib)))
        return SELFREG_E_TYPELIB;
    const std::u16string path = platform::utf16FromUtf8(modulePath(module));
    const HRESULT registered = RegisterTypeLib(typeLib, path.c_str(), nullptr);
    typeLib->Release();
    return SUCCEEDED(registered) ? S_OK : SELFREG_E_TYPELIB;
}

extern "C" HRESULT STDAPICALLTYPE UnregisterServerModule(HMODULE module, UINT scriptId) {
    HRESULT result = S_OK;
    ITypeLib* typeLib = nullptr;
    if (SUCCEEDED(LoadModuleTypeLib(module, &typeLib))) {
        TLIBATTR* attr = nullptr;
        if (SUCCEEDED(typeLib->GetLibAttr(&attr))) {
            const HRESULT removed =
                UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
            if (FAILED(removed) && removed != TYPE_E_REGISTRYACCESS)
                result = SELFREG_E_TYPELIB;
            typeLib->ReleaseTLibAttr(attr);
        }
        typeLib->Release();
    } else {
        result = SELFREG_E_TYPELIB;
    }
    if (FAILED(UpdateRegistryFromResource(module, scriptId, FALSE)))
        result = SELFREG_E_CLASS;
    return result;
}
