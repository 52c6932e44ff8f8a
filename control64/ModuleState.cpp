#include "ModuleState.h"

#include "TokenInfos.h"

namespace {

// md_RefreshToken's value for the base family's IsOnline; a library that does not load counts as
// no token.
LONG MeridiaTokenCount() {
    LONG count = -1;
    if (!QueryTokenCount(kMeridiaTokenLibrary, &count))
        return -1;
    return count;
}

struct Families {
    certflows::FamilyConfig baseConfig = certflows::baseFamilyConfig();
    certflows::FamilyConfig exConfig = certflows::exFamilyConfig();
    certflows::FamilyConfig mdConfig = certflows::mdFamilyConfig();
    certflows::CertFamily direct;
    certflows::CertFamily ex;
    certflows::CertFamily md;
    certflows::BaseFamily base;
    CEnrolment enrolment;

    explicit Families(ModuleState& state)
        : direct(baseConfig, state.baseState),
          ex(exConfig, state.exState),
          md(mdConfig, state.mdState),
          base(direct, md, state.baseMode, &MeridiaTokenCount),
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
