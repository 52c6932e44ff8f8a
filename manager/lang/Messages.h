#pragma once

// Every message box of the manager: the text by message id through the
// language file, the title by id 10000, flags and answers as MessageFlags.h.

#include "MessageFlags.h"
#include "Translator.h"

#include <string>

inline constexpr int kMessageTitleId = 10000;
inline constexpr const char* kMessageTitleDefault = "KorvanNG PKI Manager";

// Without an owner window.
int showMessage(int id, const char* defaultText, unsigned flags,
                Translator& translator = Translator::instance());
// A text that is already composed and translated.
int showText(const std::string& text, unsigned flags,
             Translator& translator = Translator::instance());
// Owned by the currently active window.
int showMessageOwned(int id, const char* defaultText, unsigned flags,
                     Translator& translator = Translator::instance());
