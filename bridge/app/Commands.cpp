#include "bridge/app/Commands.h"

#include "bridge/policy/DecisionStore.h"

namespace bridge::app {

int listOrigins(std::ostream& out, std::ostream& err) {
    const policy::DecisionStore store;
    if (!store.storeReadable()) {
        err << "korvan-bridge: cannot read the decisions: " << policy::lastError() << '\n';
        return 1;
    }
    for (const auto& [origin, decision] : store.list())
        out << origin << '\t' << policy::decisionName(decision) << '\n';
    out.flush();
    return 0;
}

int forgetOrigin(const std::string& origin, std::ostream& out, std::ostream& err) {
    policy::DecisionStore store;
    const bool known = store.decision(origin) != policy::Decision::undecided;
    if (!store.forget(origin)) {
        err << "korvan-bridge: cannot forget " << origin << ": " << policy::lastError() << '\n';
        return 1;
    }
    out << (known ? "forgot " : "no decision was remembered for ") << origin << '\n';
    out.flush();
    return 0;
}

} // namespace bridge::app
