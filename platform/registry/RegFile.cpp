#include "platform/registry/RegFile.h"

#include "platform/AsciiCase.h"
#include "platform/registry/Names.h"

#include <QHash>
#include <QJsonValue>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

namespace platform::registry {

namespace {

constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr std::string_view kCurrentUser = "HKEY_CURRENT_USER";

struct Failure {
    std::string why;
};

bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
}

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    return line;
}

// A quoted string starting at line[pos]; pos ends past the closing quote.
std::string quoted(std::string_view line, std::size_t& pos) {
    std::string out;
    ++pos;
    while (true) {
        if (pos >= line.size())
            throw Failure{"unterminated string"};
        const char c = line[pos++];
        if (c == '"')
            return out;
        if (isControl(c))
            throw Failure{"control character in a string"};
        if (c == '\\') {
            if (pos >= line.size() || (line[pos] != '\\' && line[pos] != '"'))
                throw Failure{"unknown escape in a string (only \\\\ and \\\" are known)"};
            out += line[pos++];
            continue;
        }
        out += c;
    }
}

std::optional<std::uint32_t> dwordDigits(std::string_view digits) {
    if (digits.empty() || digits.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : digits) {
        const char l = asciiLower(c);
        int digit;
        if (l >= '0' && l <= '9')
            digit = l - '0';
        else if (l >= 'a' && l <= 'f')
            digit = l - 'a' + 10;
        else
            return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

// The keys of one root while a file is read: an index by folded path, so that each section
// costs a hash look-up rather than a scan, and the values of the open section.
class RootBuilder {
public:
    explicit RootBuilder(QJsonObject& keys) : keys_(keys) {}

    // The stored spelling of the key, adding it and its missing parents.
    QString add(const QString& path, std::size_t& keyCount) {
        QString parent;
        for (const QString& part : path.split(QLatin1Char('\\'))) {
            const QString candidate = parent.isEmpty() ? part : parent + QLatin1Char('\\') + part;
            const QString folded = foldedName(candidate);
            const auto found = index_.constFind(folded);
            if (found != index_.constEnd()) {
                parent = found.value();
                continue;
            }
            if (++keyCount > kMaxRegKeys)
                throw Failure{"more than " + std::to_string(kMaxRegKeys) + " keys"};
            index_.insert(folded, candidate);
            keys_.insert(candidate, QJsonObject());
            parent = candidate;
        }
        return parent;
    }

private:
    QJsonObject& keys_;
    QHash<QString, QString> index_;
};

class Reader {
public:
    explicit Reader(RegContent& content) : machine_(content.localMachine), classes_(content.classesRoot),
        content_(content) {}

    void line(std::string_view text) {
        if (!header_) {
            if (text != kRegHeader)
                throw Failure{std::string("expected the line \"") + kRegHeader + "\""};
            header_ = true;
            return;
        }
        if (text.front() == '[')
            section(text);
        else if (text.front() == '"' || text.front() == '@')
            value(text);
        else
            throw Failure{"expected [KEY], \"name\"=value or a ; comment"};
    }

    void finish() { flush(); }

private:
    void section(std::string_view text) {
        flush();
        if (text.back() != ']')
            throw Failure{"a key line must end with ]"};
        std::string_view body = text.substr(1, text.size() - 2);
        if (!body.empty() && body.front() == '-')
            throw Failure{"deleting a key ([-KEY]) is not supported"};
        const std::size_t slash = body.find('\\');
        const std::string_view rootName = body.substr(0, slash);
        const std::string_view path =
            slash == std::string_view::npos ? std::string_view() : body.substr(slash + 1);
        if (sameAsciiNoCase(rootName, kLocalMachine)) {
            target_ = &machine_;
            targetKeys_ = &content_.localMachine;
        } else if (sameAsciiNoCase(rootName, kClassesRoot)) {
            target_ = &classes_;
            targetKeys_ = &content_.classesRoot;
        } else if (sameAsciiNoCase(rootName, kCurrentUser)) {
            throw Failure{"HKEY_CURRENT_USER is each user's own; it has no machine-wide values"};
        } else {
            throw Failure{"unknown root key \"" + std::string(rootName) + "\""};
        }
        if (slash != std::string_view::npos) {
            std::size_t start = 0;
            while (true) {
                const std::size_t next = path.find('\\', start);
                if (path.substr(start, next - start).empty())
                    throw Failure{"empty key name in the path"};
                if (next == std::string_view::npos)
                    break;
                start = next + 1;
            }
            for (const char c : path)
                if (isControl(c) || c == '\t')
                    throw Failure{"control character in a key name"};
        }
        keyPath_ = path.empty() ? QString() : target_->add(fromUtf8(path), keyCount_);
        values_ = targetKeys_->value(keyPath_).toObject();
        open_ = true;
    }

    void value(std::string_view text) {
        if (!open_)
            throw Failure{"a value before any [KEY] line"};
        std::size_t pos = 0;
        std::string name;
        if (text.front() == '@')
            pos = 1;
        else
            name = quoted(text, pos);
        if (pos >= text.size() || text[pos] != '=')
            throw Failure{"expected = after the value name"};
        const std::string_view data = text.substr(pos + 1);
        QJsonValue value;
        if (!data.empty() && data.front() == '"') {
            std::size_t end = 0;
            const std::string textValue = quoted(data, end);
            if (end != data.size())
                throw Failure{"text after the closing quote"};
            value = QJsonValue(fromUtf8(textValue));
        } else if (data.size() > 6 && sameAsciiNoCase(data.substr(0, 6), "dword:")) {
            const auto number = dwordDigits(data.substr(6));
            if (!number)
                throw Failure{"a dword needs 1 to 8 hexadecimal digits"};
            value = QJsonValue(static_cast<qint64>(*number));
        } else if (data == "-") {
            throw Failure{"deleting a value (\"name\"=-) is not supported"};
        } else {
            throw Failure{"unsupported value type (only \"text\" and dword: are read)"};
        }
        if (++valueCount_ > kMaxRegValues)
            throw Failure{"more than " + std::to_string(kMaxRegValues) + " values"};
        const QString wanted = fromUtf8(name);
        values_.insert(storedName(values_, wanted).value_or(wanted), value);
    }

    void flush() {
        if (open_)
            targetKeys_->insert(keyPath_, values_);
        open_ = false;
    }

    RootBuilder machine_;
    RootBuilder classes_;
    RegContent& content_;
    RootBuilder* target_ = nullptr;
    QJsonObject* targetKeys_ = nullptr;
    QString keyPath_;
    QJsonObject values_;
    bool open_ = false;
    bool header_ = false;
    std::size_t keyCount_ = 0;
    std::size_t valueCount_ = 0;
};

// Path components, for sorting parents before children.
struct SortKey {
    QStringList folded;
    QString raw;
    bool operator<(const SortKey& other) const {
        const qsizetype n = std::min(folded.size(), other.folded.size());
        for (qsizetype i = 0; i < n; ++i) {
            if (const int c = folded[i].compare(other.folded[i]); c != 0)
                return c < 0;
        }
        if (folded.size() != other.folded.size())
            return folded.size() < other.folded.size();
        return raw < other.raw;
    }
};

bool representable(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    return true;
}

std::string escaped(const QString& text) {
    std::string out = "\"";
    for (const char c : text.toStdString()) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

void writeRoot(std::string_view rootName, const QJsonObject& keys, RegWrite& out) {
    std::vector<SortKey> order;
    for (auto it = keys.begin(); it != keys.end(); ++it)
        order.push_back({foldedName(it.key()).split(QLatin1Char('\\')), it.key()});
    std::sort(order.begin(), order.end());
    for (const SortKey& key : order) {
        std::string where(rootName);
        if (!key.raw.isEmpty()) {
            where += '\\';
            where += key.raw.toStdString();
        }
        const QJsonObject values = keys.value(key.raw).toObject();
        if (key.raw.isEmpty() && values.isEmpty())
            continue;
        if (!representable(key.raw) || key.raw.startsWith(QLatin1Char('\\')) ||
            key.raw.endsWith(QLatin1Char('\\')) || key.raw.contains(QStringLiteral("\\\\"))) {
            out.refused.push_back(where);
            continue;
        }
        out.text += "[" + where + "]\n";
        std::vector<std::pair<QString, QString>> names;
        for (auto it = values.begin(); it != values.end(); ++it)
            names.emplace_back(foldedName(it.key()), it.key());
        std::sort(names.begin(), names.end());
        for (const auto& [folded, name] : names) {
            const QJsonValue value = values.value(name);
            const std::string label = name.isEmpty() ? "@" : escaped(name);
            const double number = value.toDouble(-1.0);
            if (value.isString() && representable(value.toString()) && representable(name)) {
                out.text += label + "=" + escaped(value.toString()) + "\n";
            } else if (value.isDouble() && number >= 0 && number <= 4294967295.0 &&
                       std::trunc(number) == number && representable(name)) {
                char digits[16];
                std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
                out.text += label + "=dword:" + digits + "\n";
            } else {
                out.refused.push_back(where + " " + label);
            }
        }
        out.text += "\n";
    }
}

} // namespace

RegParse parseRegText(const QByteArray& text, const std::string& fileName) {
    RegParse result;
    std::size_t lineNo = 0;
    try {
        if (static_cast<std::size_t>(text.size()) > kMaxRegFileBytes)
            throw Failure{"larger than " + std::to_string(kMaxRegFileBytes) + " bytes"};
        QStringDecoder decoder(QStringDecoder::Utf8);
        (void)QString(decoder(text));
        if (decoder.hasError())
            throw Failure{"not UTF-8 text"};
        std::string_view all(text.constData(), static_cast<std::size_t>(text.size()));
        if (all.substr(0, 3) == "\xEF\xBB\xBF")
            all.remove_prefix(3);
        Reader reader(result.content);
        std::size_t pos = 0;
        while (pos <= all.size()) {
            const std::size_t end = std::min(all.find('\n', pos), all.size());
            ++lineNo;
            if (end - pos > kMaxRegLineBytes)
                throw Failure{"line longer than " + std::to_string(kMaxRegLineBytes) + " bytes"};
            const std::string_view line = trimmed(all.substr(pos, end - pos));
            if (!line.empty() && line.front() != ';')
                reader.line(line);
            pos = end + 1;
        }
        reader.finish();
    } catch (const Failure& failure) {
        result.content = RegContent();
        result.error = fileName + (lineNo > 0 ? ":" + std::to_string(lineNo) : "") + ": " + failure.why;
        return result;
    }
    result.ok = true;
    return result;
}

RegWrite writeRegText(const RegContent& content) {
    RegWrite out;
    out.text = std::string(kRegHeader) + "\n\n";
    writeRoot(kLocalMachine, content.localMachine, out);
    writeRoot(kClassesRoot, content.classesRoot, out);
    return out;
}

} // namespace platform::registry
