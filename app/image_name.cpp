#include "app/image_name.h"

#include "base/text.h"

namespace tarn {

void UpperCaseCp949(char* text, DoubleByteUpper upperDbcs) {
    unsigned char* p = reinterpret_cast<unsigned char*>(text);
    while (*p != '\0') {
        if (IsCp949LeadByte(*p) && p[1] != '\0') {
            if (upperDbcs != nullptr) {
                unsigned char lead = p[0];
                unsigned char trail = p[1];
                // Accept only a whole double-byte character back: a single byte or a NUL here would
                // change the length of the name or cut it.
                if (upperDbcs(&lead, &trail) && IsCp949LeadByte(lead) && trail != '\0') {
                    p[0] = lead;
                    p[1] = trail;
                }
            }
            p += 2;
            continue;
        }
        if (*p >= 'a' && *p <= 'z') *p = static_cast<unsigned char>(*p - 'a' + 'A');
        ++p;
    }
}

bool ImageNameContains(const char* upperImage, const char* upperName) {
    if (upperName == nullptr || *upperName == '\0') return false;
    return FindTextByChars(upperImage, upperName) != nullptr;
}

}  // namespace tarn
