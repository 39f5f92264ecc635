#pragma once

#include <sys/capability.h>

namespace ks {

// Raises one capability in the effective set for the lifetime of the object, if the
// process holds it in its permitted set, and drops it again afterwards.
class RaisedCapability {
public:
    explicit RaisedCapability(cap_value_t capability) : capability_(capability) { raised_ = change(CAP_SET); }
    ~RaisedCapability() {
        if (raised_) change(CAP_CLEAR);
    }
    RaisedCapability(const RaisedCapability&) = delete;
    RaisedCapability& operator=(const RaisedCapability&) = delete;

private:
    bool change(cap_flag_value_t value) const {
        cap_t caps = cap_get_proc();
        if (!caps) return false;
        cap_flag_value_t permitted = CAP_CLEAR;
        cap_get_flag(caps, capability_, CAP_PERMITTED, &permitted);
        const bool done = permitted == CAP_SET &&
                          cap_set_flag(caps, CAP_EFFECTIVE, 1, &capability_, value) == 0 &&
                          cap_set_proc(caps) == 0;
        cap_free(caps);
        return done;
    }
    cap_value_t capability_;
    bool raised_ = false;
};

} // namespace ks
