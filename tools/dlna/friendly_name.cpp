#include "friendly_name.h"

#include <cstdint>

namespace dlna {

bool friendly_name_ok(const std::string &name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (size_t i = 0; i < name.size();) {
        auto byte = [&name](size_t k) { return static_cast<unsigned char>(name[k]); };
        unsigned char lead = byte(i);
        size_t n = lead < 0x80             ? 1
                   : (lead & 0xE0) == 0xC0 ? 2
                   : (lead & 0xF0) == 0xE0 ? 3
                   : (lead & 0xF8) == 0xF0 ? 4
                                           : 0;
        if (n == 0 || i + n > name.size())
            return false;
        uint32_t cp = n == 1 ? lead : lead & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            if ((byte(i + k) & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        static const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < shortest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF)
            return false;
        i += n;
    }
    return true;
}

} // namespace dlna
