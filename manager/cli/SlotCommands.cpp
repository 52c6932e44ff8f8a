// slots and token-info: the rows of the slot and token information views.

#include "Command.h"
#include "InfoRows.h"
#include "SlotEntry.h"
#include "SlotManager.h"
#include "TextTable.h"
#include "Translator.h"

#include <optional>

namespace {

struct SlotsOptions {
    bool tabSeparated = false;
};

std::optional<SlotsOptions> parseSlots(CommandArguments& arguments) {
    SlotsOptions options;
    for (const std::string& word : arguments.words) {
        if (word == "--tab") {
            options.tabSeparated = true;
            continue;
        }
        arguments.err << "korvanng-tool slots: unexpected argument '" << word << "'\n";
        return std::nullopt;
    }
    return options;
}

bool validateSlots(CommandArguments& arguments) {
    return parseSlots(arguments).has_value();
}

ExitCode runSlots(CommandArguments& arguments) {
    SlotsOptions options = *parseSlots(arguments);
    std::vector<std::vector<std::string>> table;
    std::vector<std::string> header = {toolText(10400, "Slot ID")};
    for (const InfoColumn& column : slotListColumns())
        header.push_back(column.title);
    table.push_back(header);
    for (const SlotListRow& row : slotListRows(SlotManager::instance()))
        table.push_back(
            {std::to_string(row.slotId), row.description, row.status, row.manufacturer});
    writeTable(arguments.out, table, options.tabSeparated);
    return ExitOk;
}

std::optional<unsigned long> parseTokenInfo(CommandArguments& arguments) {
    std::optional<unsigned long> slot;
    const auto& words = arguments.words;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string value;
        if (words[i] == "--slot") {
            if (i + 1 == words.size()) {
                arguments.err << "korvanng-tool token-info: --slot needs a slot number\n";
                return std::nullopt;
            }
            value = words[++i];
        } else if (words[i].rfind("--slot=", 0) == 0) {
            value = words[i].substr(7);
        } else {
            arguments.err << "korvanng-tool token-info: unexpected argument '" << words[i] << "'\n";
            return std::nullopt;
        }
        unsigned long id = 0;
        if (!parseSlotId(value, id)) {
            arguments.err << "korvanng-tool token-info: '" << value << "' is not a slot number\n";
            return std::nullopt;
        }
        slot = id;
    }
    if (!slot)
        arguments.err << "korvanng-tool token-info: --slot N is required\n";
    return slot;
}

bool validateTokenInfo(CommandArguments& arguments) {
    return parseTokenInfo(arguments).has_value();
}

void writeRows(std::ostream& out, const std::vector<InfoRow>& rows) {
    for (const InfoRow& row : rows)
        out << row.field << ": " << row.value << '\n';
}

ExitCode runTokenInfo(CommandArguments& arguments) {
    CK_SLOT_ID slotId = *parseTokenInfo(arguments);
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr) {
        arguments.err << toolText(10401, "No such slot:") << ' ' << slotId << '\n';
        return ExitNoToken;
    }
    // One consistent picture even if the token is pulled meanwhile.
    SlotEntry::Lock guard = entry->lock();
    arguments.out << translate(301, "Slot detail:") << '\n';
    writeRows(arguments.out, slotDetailRows(*entry));
    if (!entry->tokenPresent || !entry->tokenRecognized) {
        // The same status text the slot list shows for this slot.
        arguments.err << slotStatusText(*entry) << '\n';
        return ExitNoToken;
    }
    arguments.out << '\n' << translate(302, "Token detail:") << '\n';
    writeRows(arguments.out, tokenDetailRows(*entry));
    return ExitOk;
}

} // namespace

std::vector<Command> slotCommands() {
    return {
        {"slots", "[--tab]",
         "List every slot with its token status (--tab: tab-separated columns).", true,
         validateSlots, runSlots},
        {"token-info", "--slot N", "Show the details of slot N and of the token in it.", true,
         validateTokenInfo, runTokenInfo},
    };
}
