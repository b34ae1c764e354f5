// Helpers shared by the unit tests.
#pragma once

#include <cstdlib>
#include <string>

// Restores an environment variable when the test ends.
class EnvGuard {
  public:
    explicit EnvGuard(const char *name) : name_(name) {
        const char *v = getenv(name);
        had_ = v != nullptr;
        if (had_)
            old_ = v;
    }
    // Also sets the variable to value for the test; null unsets it.
    EnvGuard(const char *name, const char *value) : EnvGuard(name) {
        set(value);
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    ~EnvGuard() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    void set(const char *value) {
        if (value)
            setenv(name_, value, 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    bool had_;
    std::string old_;
};
