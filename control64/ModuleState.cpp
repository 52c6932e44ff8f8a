#include "ModuleState.h"

#include "TokenInfos.h"

#include "controls/CertDialogs.h"

namespace {

// md_RefreshToken's value for the base family's IsOnline; a library that does not load counts as
// no token.
LONG MeridiaTokenCount() {
    LONG count = -1;
    if (!QueryTokenCount(kMeridiaTokenLibrary, &count))
        return -1;
    return count;
}

certflows::FamilyConfig WithDialog(certflows::FamilyConfig config,
                                   certflows::CertChoiceDialog* dialog) {
    config.dialog = dialog;
    return config;
}

struct Families {
    // The choice when two or more certificates qualify; md_ shares the base family's dialog kind
    // but runs it on its own state.
    certdialogs::CCertSelect baseDialog;
    certdialogs::CCertSelect_TQB exDialog;
    certdialogs::CCertSelect mdDialog;
    certflows::FamilyConfig baseConfig;
    certflows::FamilyConfig exConfig;
    certflows::FamilyConfig mdConfig;
    certflows::CertFamily direct;
    certflows::CertFamily ex;
    certflows::CertFamily md;
    certflows::BaseFamily base;
    CEnrolment enrolment;

    explicit Families(ModuleState& state)
        : baseConfig(WithDialog(certflows::baseFamilyConfig(), &baseDialog)),
          exConfig(WithDialog(certflows::exFamilyConfig(), &exDialog)),
          mdConfig(WithDialog(certflows::mdFamilyConfig(), &mdDialog)),
          direct(baseConfig, state.baseState), ex(exConfig, state.exState),
          md(mdConfig, state.mdState), base(direct, md, state.baseMode, &MeridiaTokenCount),
          enrolment(state.enrolment) {
        certflows::CertFamily::initialise(baseConfig, state.baseState);
        certflows::CertFamily::initialise(exConfig, state.exState);
        certflows::CertFamily::initialise(mdConfig, state.mdState);
    }
};

Families& TheFamilies() {
    static Families families(TheModuleState());
    return families;
}

} // namespace

ModuleState& TheModuleState() {
    // Over 300 KB of fixed stores: kept off the stack and made on first use.
    static ModuleState state;
    return state;
}

certflows::BaseFamily& BaseFamily() {
    return TheFamilies().base;
}

certflows::CertFamily& ExFamily() {
    return TheFamilies().ex;
}

certflows::CertFamily& MdFamily() {
    return TheFamilies().md;
}

CEnrolment& Enrolment() {
    return TheFamilies().enrolment;
}
