#include "SourceIdScan.h"

#include <QFile>
#include <QXmlStreamReader>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

using Constants = std::map<std::string, std::set<long>>;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int lineOf(const std::string& text, std::size_t offset) {
    return 1 + int(std::count(text.begin(), text.begin() + long(offset), '\n'));
}

void collectConstants(const std::string& text, Constants& constants) {
    static const std::regex definition(
        R"(constexpr\s+int\s+(k\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)\s*;)");
    for (std::sregex_iterator it(text.begin(), text.end(), definition), end; it != end; ++it)
        constants[(*it)[1]].insert(std::stol((*it)[2], nullptr, 0));
}

struct SourceFile {
    fs::path path;
    std::string relative;
    std::string text;
    Constants constants;
};

class Resolver {
public:
    explicit Resolver(const Constants& global) : global_(global) {}

    // Numbers stand for themselves; kNames are looked up in the file, its
    // header, then in every file; other names (parameters) are not ids.
    std::optional<long> resolve(const std::string& token, const SourceFile& file,
                                const Constants& header,
                                std::vector<std::string>& unresolved) const {
        if (std::isdigit(static_cast<unsigned char>(token[0])))
            return std::stol(token, nullptr, 0);
        std::string name =
            token.substr(token.rfind(':') == std::string::npos ? 0 : token.rfind(':') + 1);
        if (name.size() < 2 || name[0] != 'k' || !std::isupper(static_cast<unsigned char>(name[1])))
            return std::nullopt;
        for (const Constants* table : {&file.constants, &header, &global_}) {
            auto found = table->find(name);
            if (found == table->end())
                continue;
            if (found->second.size() == 1)
                return *found->second.begin();
            break;
        }
        unresolved.push_back(file.relative + ": " + token);
        return std::nullopt;
    }

private:
    const Constants& global_;
};

bool translatedClass(const QString& widgetClass) {
    static const QStringList classes = {"QPushButton", "QCheckBox", "QRadioButton", "QGroupBox",
                                        "QLabel"};
    return classes.contains(widgetClass);
}

// The ids of the buttons and labels of one .ui file; -1 is reported apart.
void scanUiFile(const fs::path& path, const std::string& relative, SourceIds& result) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        result.unresolved.push_back(relative + ": cannot be read");
        return;
    }
    QXmlStreamReader xml(&file);
    std::vector<QString> widgets;
    std::vector<QString> names;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("widget")) {
            widgets.push_back(xml.attributes().value("class").toString());
            names.push_back(xml.attributes().value("name").toString());
        } else if (xml.isEndElement() && xml.name() == QLatin1String("widget")) {
            widgets.pop_back();
            names.pop_back();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("property") &&
                   xml.attributes().value("name") == QLatin1String("controlId") &&
                   !widgets.empty()) {
            xml.readNextStartElement();
            int id = xml.readElementText().trimmed().toInt();
            if (!translatedClass(widgets.back()) || id == 0)
                continue;
            if (id == -1)
                result.controlsWithoutId.insert(relative + ":" + names.back().toStdString());
            else
                result.ids[id].insert(relative);
        }
    }
    if (xml.hasError())
        result.unresolved.push_back(relative + ": " + xml.errorString().toStdString());
}

} // namespace

std::string stripComments(const std::string& source) {
    std::string out;
    out.reserve(source.size());
    enum { Code, Line, Block, String, Char } state = Code;
    for (std::size_t i = 0; i < source.size(); ++i) {
        char c = source[i];
        char next = i + 1 < source.size() ? source[i + 1] : '\0';
        switch (state) {
        case Code:
            if (c == '/' && next == '/') {
                state = Line;
                ++i;
                continue;
            }
            if (c == '/' && next == '*') {
                state = Block;
                ++i;
                continue;
            }
            if (c == '"')
                state = String;
            else if (c == '\'')
                state = Char;
            out += c;
            break;
        case Line:
            if (c == '\n') {
                state = Code;
                out += c;
            }
            break;
        case Block:
            if (c == '*' && next == '/') {
                state = Code;
                ++i;
            } else if (c == '\n') {
                out += c; // keeps line numbers right
            }
            break;
        case String:
        case Char:
            out += c;
            if (c == '\\' && next != '\0') {
                out += next;
                ++i;
            } else if ((state == String && c == '"') || (state == Char && c == '\'')) {
                state = Code;
            }
            break;
        }
    }
    return out;
}

SourceIds scanSources(const fs::path& managerDir) {
    SourceIds result;
    std::vector<SourceFile> sources;
    std::vector<fs::path> uiFiles;
    Constants global;
    for (const auto& item : fs::recursive_directory_iterator(managerDir)) {
        if (!item.is_regular_file())
            continue;
        const fs::path& path = item.path();
        std::string relative = fs::relative(path, managerDir).string();
        // Fuzz targets look up ids of their own making.
        if (relative.find("fuzz/") != std::string::npos)
            continue;
        std::string ext = path.extension().string();
        if (ext == ".ui") {
            uiFiles.push_back(path);
        } else if (ext == ".cpp" || ext == ".h") {
            SourceFile file{path, relative, stripComments(readFile(path)), {}};
            collectConstants(file.text, file.constants);
            for (const auto& [name, values] : file.constants)
                global[name].insert(values.begin(), values.end());
            sources.push_back(std::move(file));
        }
    }

    Resolver resolver(global);
    static const std::regex lookup(
        R"(\b(translate|toolText|showMessage|showMessageOwned)\s*\(\s*([A-Za-z_][\w:]*|\d+)\s*,)");
    static const std::regex command(R"(\baddCommand\s*\(\s*\w+\s*,\s*"[^"]*"\s*,\s*([\w:]+))");
    // An id literal followed by its default text, wherever texts are kept in
    // tables or handed to a helper: {5025, "Wrong password!"}, fail(805, "...").
    static const std::regex pair(R"((?:^|[({,])\s*(\d{1,5})\s*,\s*")");
    static const std::regex dialog(R"(\btranslateDialog\s*\(\s*[^,()]+,\s*([\w:]+)\s*[,)])");

    std::map<std::string, const Constants*> headers; // "app/AboutDlg" -> its header's constants
    for (const SourceFile& file : sources)
        if (file.path.extension() == ".h")
            headers[(file.path.parent_path() / file.path.stem()).string()] = &file.constants;

    for (const SourceFile& file : sources) {
        std::string stem = (file.path.parent_path() / file.path.stem()).string();
        static const Constants none;
        auto companion = headers.find(stem);
        const Constants& header = companion != headers.end() ? *companion->second : none;
        // In tables an id of 0 marks a row without a text of its own.
        auto record = [&](const std::regex& pattern, int* counter, bool skipZero = false) {
            for (std::sregex_iterator it(file.text.begin(), file.text.end(), pattern), end;
                 it != end; ++it) {
                std::string token = (*it)[it->size() - 1];
                std::optional<long> id = resolver.resolve(token, file, header, result.unresolved);
                if (!id || (skipZero && *id == 0))
                    continue;
                result.ids[int(*id)].insert(file.relative + ":" +
                                            std::to_string(lineOf(file.text, it->position())));
                if (counter)
                    ++*counter;
            }
        };
        record(lookup, nullptr);
        record(pair, nullptr, /*skipZero=*/true);
        record(command, &result.menuCommandCount);
        record(dialog, &result.dialogCount);
    }

    // Dialogs that pick their id from a table still declare it by name.
    for (const SourceFile& file : sources) {
        for (const char* name : {"kDialogId", "kTemplateId"}) {
            auto found = file.constants.find(name);
            if (found == file.constants.end())
                continue;
            for (long id : found->second)
                result.ids[int(id)].insert(file.relative + ": " + name);
            ++result.dialogCount;
        }
    }
    // Every dialog template's buttons and labels: translateDialog finds them
    // by control id whichever dialog passes its id.
    for (const fs::path& ui : uiFiles)
        scanUiFile(ui, fs::relative(ui, managerDir).string(), result);
    return result;
}
