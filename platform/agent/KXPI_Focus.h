// The local client as the agent's base library knows it.
#pragma once

#include <sys/utsname.h>

#include <string>

class KXPI_Focus {
public:
    // The client's name: the host's node name, read once.
    static const std::string& getFocusClientName() {
        static const std::string name = [] {
            struct utsname u;
            return uname(&u) == 0 ? std::string(u.nodename) : std::string();
        }();
        return name;
    }
};
