// Everything the bridge decides before a control is reached, in one include.
#pragma once

#include "bridge/policy/ApprovalThrottle.h"
#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/DecryptLimiter.h"
#include "bridge/policy/Origin.h"
#include "bridge/policy/ProgIds.h"
#include "bridge/policy/Request.h"
