#pragma once
// The display's four fixed-width bitmap fonts. Tables are generated from drawings
// (scripts/gen_font.py, scripts/font_glyphs.txt): glyphs in code order from 32, each
// stored column by column in bands of 8 rows, bit k of a byte being row band * 8 + k.
// Read-only data, shared without a lock.
#include <cstddef>
#include <cstdint>
#include <span>

namespace driver::module::font {

extern const std::uint8_t FONT_0806[92 * 6];
extern const std::uint8_t FONT_1206[95 * 12];
extern const std::uint8_t FONT_1608[95 * 16];
extern const std::uint8_t FONT_2412[95 * 36];

inline constexpr std::uint8_t FIRST_CODE = 32;

struct Font {
  std::uint8_t width;  // columns of a glyph cell
  std::uint8_t bands;  // bands of 8 rows drawn per glyph
  std::span<const std::uint8_t> table;

  std::size_t glyph_bytes() const { return std::size_t{width} * bands; }
  std::size_t glyph_count() const { return table.size() / glyph_bytes(); }
  // Empty for a code the font has no glyph for.
  std::span<const std::uint8_t> glyph(std::uint8_t code) const {
    if (code < FIRST_CODE) return {};
    const std::size_t index = code - FIRST_CODE;
    if (index >= glyph_count()) return {};
    return table.subspan(index * glyph_bytes(), glyph_bytes());
  }
};

inline constexpr Font FONT_8{6, 1, FONT_0806};
inline constexpr Font FONT_12{6, 2, FONT_1206};  // 12 rows drawn in a 16-row cell
inline constexpr Font FONT_16{8, 2, FONT_1608};
inline constexpr Font FONT_24{12, 3, FONT_2412};

// The font of a show_char size argument (8, 12, 16 or 24); null for any other size.
inline const Font* font_for(std::uint8_t size) {
  switch (size) {
    case 8: return &FONT_8;
    case 12: return &FONT_12;
    case 16: return &FONT_16;
    case 24: return &FONT_24;
    default: return nullptr;
  }
}

}  // namespace driver::module::font
