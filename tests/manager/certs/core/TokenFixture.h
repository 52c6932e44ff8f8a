// The software token in a temporary store, logged in, behind a function table
// that passes every call through unless a test overrides one.
#pragma once

#include "CertCommon.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Answers Yes/No questions from a script and records what was asked.
class ScriptedPrompter : public Prompter {
public:
    explicit ScriptedPrompter(std::deque<bool> answers = {}) : answers_(std::move(answers)) {}
    bool confirm(int messageId, const char* defaultText) override {
        asked.push_back(messageId);
        texts.emplace_back(defaultText);
        if (answers_.empty()) {
            ADD_FAILURE() << "unexpected question " << messageId;
            return false;
        }
        bool answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    bool allAnswered() const { return answers_.empty(); }
    std::vector<int> asked;
    std::vector<std::string> texts;

private:
    std::deque<bool> answers_;
};

// One attribute of a C_CreateObject template, copied.
struct RecordedAttribute {
    CK_ATTRIBUTE_TYPE type;
    Bytes value;
};

struct Intercept {
    CK_FUNCTION_LIST table{};
    CK_FUNCTION_LIST* real = nullptr;
    // Return a value to answer instead of the token.
    std::function<std::optional<CK_RV>(const std::vector<RecordedAttribute>&)> onCreate;
    std::function<std::optional<CK_RV>(CK_OBJECT_HANDLE)> onDestroy;
    std::function<std::optional<CK_RV>(CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG)>
        onGetAttribute;
    std::optional<CK_RV> sessionInfoResult;
    std::vector<std::vector<RecordedAttribute>> created;
    std::vector<CK_OBJECT_HANDLE> destroyed;

    static Intercept& current();
    void bind(CK_FUNCTION_LIST* realTable);
};

// Runs tokenctl with its standard output discarded; true when it exits with 0.
bool RunTokenctl(const std::vector<std::string>& arguments);

// A store under `root` holding token "t1" ("Demo token", SO PIN 12345678,
// user PIN 1234) in slot 1; MERIDIA_TOKEN_CONF names its configuration.
::testing::AssertionResult CreateTokenStore(const std::filesystem::path& root,
                                            const std::string& extraConfig = {},
                                            const std::vector<std::string>& createArguments = {});

class TokenTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Extra configuration lines for the store (e.g. RSA size limits).
    virtual std::string extraConfig() const { return {}; }
    // Extra tokenctl create arguments.
    virtual std::vector<std::string> createArguments() const { return {}; }

    CK_FUNCTION_LIST* fns() { return &intercept().table; }
    CK_FUNCTION_LIST* realFns() { return library_.functions(); }
    Intercept& intercept() { return Intercept::current(); }
    SlotEntry* slot() { return slots_->findSlot(1); }
    SlotManager& slots() { return *slots_; }
    const TokenLibrary& library() const { return wrapped_; }
    CK_SESSION_HANDLE session();

    // Every object on the token, through the real table.
    std::vector<CK_OBJECT_HANDLE> objects();
    CK_OBJECT_CLASS objectClass(CK_OBJECT_HANDLE handle);
    Bytes attribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type);
    CK_ULONG ulongAttribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type);
    bool boolAttribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type);
    // A certificate object written directly, with an optional container name.
    CK_OBJECT_HANDLE putCertificate(X509* certificate, const std::optional<std::string>& container);
    CK_OBJECT_HANDLE putData(const std::string& label, const std::optional<std::string>& container);

    std::string path(const std::string& name) const { return root_ + "/" + name; }

    bool ready_ = false;
    std::string root_;

private:
    TokenLibrary library_;
    TokenLibrary wrapped_;
    std::unique_ptr<SlotManager> slots_;
};
