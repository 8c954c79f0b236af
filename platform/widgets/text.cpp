// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/text.h"

namespace {

// How many bytes the sequence led by `lead` has; 0 for a byte that cannot
// lead one (ASCII is handled before).
int sequence_length(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// The range of the byte after the lead excludes overlong forms, surrogates
// and code points past U+10FFFF.
bool continues(unsigned char lead, int position, unsigned char byte)
{
    unsigned char low = 0x80, high = 0xBF;
    if (position == 1) {
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
        else if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    }
    return byte >= low && byte <= high;
}

} // namespace

QString display_text(std::string_view field)
{
    QString text;
    text.reserve(static_cast<qsizetype>(field.size()));
    bool saw_utf8 = false;
    const std::size_t n = field.size();
    for (std::size_t i = 0; i < n;) {
        const auto lead = static_cast<unsigned char>(field[i]);
        if (lead < 0x80) {
            text += lead < 0x20 || lead == 0x7F ? QChar(' ') : QChar(lead);
            ++i;
            continue;
        }
        const int length = sequence_length(lead);
        int have = 1;
        while (length > 0 && have < length && i + static_cast<std::size_t>(have) < n &&
               continues(lead, have, static_cast<unsigned char>(field[i + static_cast<std::size_t>(have)])))
            ++have;
        if (length > 0 && have == length) {
            char32_t code = lead & (0xFF >> (length + 1));
            for (int k = 1; k < length; ++k)
                code = (code << 6) | (static_cast<unsigned char>(field[i + static_cast<std::size_t>(k)]) & 0x3F);
            text += QString::fromUcs4(&code, 1);
            saw_utf8 = true;
            i += static_cast<std::size_t>(length);
            continue;
        }
        if (length > 0 && i + static_cast<std::size_t>(have) == n && (have > 1 || saw_utf8))
            break;  // cut at the end of the field
        // Latin-1: the C1 controls show as spaces like the C0 ones.
        text += lead < 0xA0 ? QChar(' ') : QChar(lead);
        ++i;
    }
    return text;
}
