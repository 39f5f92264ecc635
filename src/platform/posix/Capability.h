#pragma once

#include <sys/capability.h>

namespace ks {

// Raises one capability in the effective set for the lifetime of the object, if the
// process holds it in its permitted set, and puts back the state it had before: one that was
// effective already (root, a test harness) stays so for whatever else needs it.
class RaisedCapability {
public:
    explicit RaisedCapability(cap_value_t capability) : capability_(capability) {
        cap_t caps = cap_get_proc();
        if (!caps) return;
        cap_flag_value_t permitted = CAP_CLEAR, effective = CAP_CLEAR;
        cap_get_flag(caps, capability_, CAP_PERMITTED, &permitted);
        cap_get_flag(caps, capability_, CAP_EFFECTIVE, &effective);
        cap_free(caps);
        if (permitted == CAP_SET && effective == CAP_CLEAR) raised_ = change(CAP_SET);
    }
    ~RaisedCapability() {
        if (raised_) change(CAP_CLEAR);
    }
    RaisedCapability(const RaisedCapability&) = delete;
    RaisedCapability& operator=(const RaisedCapability&) = delete;

private:
    bool change(cap_flag_value_t value) const {
        cap_t caps = cap_get_proc();
        if (!caps) return false;
        const bool done =
            cap_set_flag(caps, CAP_EFFECTIVE, 1, &capability_, value) == 0 && cap_set_proc(caps) == 0;
        cap_free(caps);
        return done;
    }
    cap_value_t capability_;
    bool raised_ = false;
};

} // namespace ks
