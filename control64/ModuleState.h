// The module-wide state of the control: one copy per loaded module, shared by every SGN object in
// the process and kept until the module is unloaded.
#pragma once

#include "Enrolment.h"

#include "controls/CertFlows.h"

struct ModuleState {
    certflows::BaseMode baseMode = certflows::BaseMode::None;
    certflows::CertFamilyState baseState;
    certflows::CertFamilyState exState;
    certflows::CertFamilyState mdState;
    EnrolmentState enrolment;
};

ModuleState& TheModuleState();

// The families over the module-wide state.
certflows::BaseFamily& BaseFamily();
certflows::CertFamily& ExFamily();
certflows::CertFamily& MdFamily();
CEnrolment& Enrolment();

// Token libraries of the token serial and token count members.
inline constexpr const char* kSkyraTokenLibrary = "qx11skyra.dll";
inline constexpr const char* kMeridiaTokenLibrary = "meridiaCsp11_2001.dll";
