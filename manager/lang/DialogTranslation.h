#pragma once

// Replaces the English texts of dialogs and menus by those of the language
// file, keyed by the ids the widgets carry (see ControlId.h).

#include "Translator.h"

#include <string>
#include <vector>

class QMenu;
class QMenuBar;
class QWidget;

// The dialog's title by its resource id; the texts of its buttons (push
// buttons, check boxes, radio buttons, group boxes) and labels by their
// control ids. Every widget of the dialog that carries a control id counts,
// however deeply it is nested, except inside child windows.
void translateDialog(QWidget* window, int dialogId,
                     Translator& translator = Translator::instance());

// Top-level titles from the one text with id 128 (titles separated by line
// feeds), items by their command ids. Without that text the menu is left alone.
void translateMenu(QMenuBar* menu, Translator& translator = Translator::instance());
// A context menu: its own top-level items take the titles of id 128.
void translateMenu(QMenu* menu, Translator& translator = Translator::instance());

// The items of one popup, recursing into nested popups; an item without an
// entry reads "IDM_<command id>". Always true.
bool translateMenuItems(QMenu* popup, Translator& translator = Translator::instance());

// Splits at every occurrence of separator. A trailing separator adds no empty
// last part; empty parts between separators stay. Always true.
bool splitText(const std::string& text, const std::string& separator,
               std::vector<std::string>& parts);

// How translateDialog sees a widget: the two window classes it translates.
enum class ControlClass { Other, Button, Static };
ControlClass controlClass(const QWidget* widget);
