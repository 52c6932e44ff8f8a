#pragma once

// Finds, in the manager's sources, every text id that is looked up in the
// language file: ids passed to translate/toolText/showMessage/showMessageOwned,
// menu command ids, dialog ids given to translateDialog and the ids of the
// buttons and labels of those dialogs' .ui files.

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

struct SourceIds {
    // id -> where it was found ("app/AboutDlg.ui", "ui/InfoRows.cpp:12", ...)
    std::map<int, std::set<std::string>> ids;
    // Named ids that no `constexpr int kName = N;` resolves (or resolves twice).
    std::vector<std::string> unresolved;
    // Controls without an id: translateDialog looks them up under 65535.
    std::set<std::string> controlsWithoutId;
    int dialogCount = 0;
    int menuCommandCount = 0;
};

SourceIds scanSources(const std::filesystem::path& managerDir);

// Comments removed, string and character literals kept.
std::string stripComments(const std::string& source);
