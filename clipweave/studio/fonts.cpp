// The caption font's advances as libass lays text out (HarfBuzz shaping,
// the font scaled so that its Windows ascent and descent together are the
// font size), and colour emoji drawn from the emoji font's bitmaps
// (FreeType) where libass draws no colour.
#include "fonts.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <hb.h>

#include <algorithm>
#include <cmath>

namespace clipweave::studio {
namespace {

// An upper bound of a code point's advance in DejaVu Sans Bold, or in the
// font that stands in for it, as a share of the font size.
double estimated_advance(std::uint32_t c) {
    if (c < 0x80) {
        const std::string wide = "mwMW@%&";
        const std::string narrow = " iljtfr.,:;!'|()[]{}\"`";
        if (wide.find(static_cast<char>(c)) != std::string::npos) return 0.97;
        if (narrow.find(static_cast<char>(c)) != std::string::npos) return 0.5;
        if (c >= 'a' && c <= 'z') return 0.66;
        return 0.8;
    }
    if (c < 0x530) return 0.95;
    return 1.25;  // symbols, emoji, CJK: often a full em of a taller font
}

// The code point starting at byte i of valid UTF-8.
std::uint32_t code_point_at(const std::string& s, size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    int n = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    std::uint32_t v = n == 3 ? lead & 0x07u : n == 2 ? lead & 0x0Fu : n == 1 ? lead & 0x1Fu : lead;
    for (int k = 1; k <= n && i + static_cast<size_t>(k) < s.size(); ++k)
        v = (v << 6) | (static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0x3Fu);
    return v;
}

struct Shaped {
    std::vector<hb_glyph_info_t> glyphs;
    std::vector<hb_glyph_position_t> positions;
};

Shaped shape(hb_font_t* font, const std::string& utf8) {
    hb_buffer_t* buffer = hb_buffer_create();
    hb_buffer_add_utf8(buffer, utf8.data(), static_cast<int>(utf8.size()), 0, static_cast<int>(utf8.size()));
    hb_buffer_guess_segment_properties(buffer);
    hb_shape(font, buffer, nullptr, 0);
    unsigned n = 0;
    const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &n);
    const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer, &n);
    Shaped out{{info, info + n}, {pos, pos + n}};
    hb_buffer_destroy(buffer);
    return out;
}

}  // namespace

struct Fonts::Face {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    hb_blob_t* blob = nullptr;
    hb_face_t* hb_face = nullptr;
    hb_font_t* font = nullptr;
    double units = 0;  // font units in one font size

    ~Face() {
        if (font != nullptr) hb_font_destroy(font);
        if (hb_face != nullptr) hb_face_destroy(hb_face);
        if (blob != nullptr) hb_blob_destroy(blob);
        if (face != nullptr) FT_Done_Face(face);
        if (library != nullptr) FT_Done_FreeType(library);
    }

    // The face of a font file, or nullptr where it cannot be read.
    static std::unique_ptr<Face> open(const std::string& path) {
        if (path.empty()) return nullptr;
        auto f = std::make_unique<Face>();
        if (FT_Init_FreeType(&f->library) != 0) return nullptr;
        if (FT_New_Face(f->library, path.c_str(), 0, &f->face) != 0) return nullptr;
        // libass's size: the OS/2 table's Windows ascent and descent (as
        // VSFilter), else the horizontal header's.
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(f->face, FT_SFNT_OS2));
        const auto* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(f->face, FT_SFNT_HHEA));
        if (os2 != nullptr && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
            f->units = os2->usWinAscent + os2->usWinDescent;
        } else if (hhea != nullptr && hhea->Ascender - hhea->Descender > 0) {
            f->units = hhea->Ascender - hhea->Descender;
        } else {
            return nullptr;
        }
        f->blob = hb_blob_create_from_file_or_fail(path.c_str());
        if (f->blob == nullptr) return nullptr;
        f->hb_face = hb_face_create(f->blob, 0);
        f->font = hb_font_create(f->hb_face);
        return f;
    }
};

Fonts::Fonts(const std::string& text, const std::string& emoji) : text_(Face::open(text)), emoji_(Face::open(emoji)) {
    // A colour font holds bitmaps at fixed sizes; without one, no pictures.
    if (emoji_ && (emoji_->face->num_fixed_sizes < 1 || !FT_HAS_COLOR(emoji_->face))) emoji_.reset();
}

Fonts::~Fonts() = default;

double Fonts::width(const std::string& utf8) const {
    if (utf8.empty()) return 0;
    if (!text_) {
        double w = 0;
        for (size_t i = 0; i < utf8.size(); ++i)
            if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) w += estimated_advance(code_point_at(utf8, i));
        return w;
    }
    const Shaped s = shape(text_->font, utf8);
    double units = 0, estimated = 0;
    std::vector<unsigned> missing;  // clusters drawn by another font
    for (size_t k = 0; k < s.glyphs.size(); ++k) {
        if (s.glyphs[k].codepoint != 0) {
            units += s.positions[k].x_advance;
        } else if (std::find(missing.begin(), missing.end(), s.glyphs[k].cluster) == missing.end()) {
            missing.push_back(s.glyphs[k].cluster);
            estimated += estimated_advance(code_point_at(utf8, s.glyphs[k].cluster));
        }
    }
    return units / text_->units + estimated;
}

bool Fonts::has_emoji_font() const { return emoji_ != nullptr; }

bool Fonts::draws_emoji(const std::string& cluster) const {
    if (!emoji_ || cluster.empty()) return false;
    const Shaped s = shape(emoji_->font, cluster);
    return !s.glyphs.empty() &&
           std::all_of(s.glyphs.begin(), s.glyphs.end(), [](const hb_glyph_info_t& g) { return g.codepoint != 0; });
}

double Fonts::emoji_width(const std::string& cluster) const {
    if (!emoji_) return 0;
    const Shaped s = shape(emoji_->font, cluster);
    double units = 0;
    for (const hb_glyph_position_t& p : s.positions) units += p.x_advance;
    return units / emoji_->units;
}

Picture Fonts::emoji(const std::string& cluster, int height) const {
    Picture out;
    if (!emoji_ || height < 1 || !draws_emoji(cluster)) return out;
    FT_Face face = emoji_->face;
    if (FT_Select_Size(face, 0) != 0) return out;
    // The strike's pixels per font unit, along x (its advances) and its
    // line (the ascent and descent that make one font size).
    const double strike = face->size->metrics.y_ppem / static_cast<double>(hb_face_get_upem(emoji_->hb_face));
    const Shaped s = shape(emoji_->font, cluster);
    double pen = 0;
    for (const hb_glyph_position_t& p : s.positions) pen += p.x_advance * strike;
    const int cw = std::max(1, static_cast<int>(std::lround(pen)));
    const int ch = std::max(1, static_cast<int>(std::lround(emoji_->units * strike)));
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    const auto* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(face, FT_SFNT_HHEA));
    const double ascent = (os2 != nullptr && os2->version != 0xFFFF ? os2->usWinAscent
                           : hhea != nullptr                         ? hhea->Ascender
                                                                     : 0) * strike;
    // Premultiplied RGBA, the glyphs laid over each other along the pen.
    std::vector<float> canvas(static_cast<size_t>(cw) * ch * 4, 0.0f);
    pen = 0;
    for (size_t k = 0; k < s.glyphs.size(); ++k) {
        if (FT_Load_Glyph(face, s.glyphs[k].codepoint, FT_LOAD_COLOR) != 0) return out;
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap& bm = slot->bitmap;
        // A joiner left between two faces is a glyph that draws nothing.
        if (bm.width == 0 || bm.rows == 0) {
            pen += s.positions[k].x_advance * strike;
            continue;
        }
        if (slot->format != FT_GLYPH_FORMAT_BITMAP || bm.pixel_mode != FT_PIXEL_MODE_BGRA) return out;
        const int left = static_cast<int>(std::lround(pen)) + slot->bitmap_left;
        const int top = static_cast<int>(std::lround(ascent)) - slot->bitmap_top;
        for (unsigned y = 0; y < bm.rows; ++y)
            for (unsigned x = 0; x < bm.width; ++x) {
                const int cx = left + static_cast<int>(x), cy = top + static_cast<int>(y);
                if (cx < 0 || cy < 0 || cx >= cw || cy >= ch) continue;
                const unsigned char* p = bm.buffer + static_cast<long>(y) * bm.pitch + x * 4;
                float* c = &canvas[(static_cast<size_t>(cy) * cw + cx) * 4];
                const float a = p[3] / 255.0f;
                const float src[4] = {p[2] / 255.0f, p[1] / 255.0f, p[0] / 255.0f, a};
                for (int i = 0; i < 4; ++i) c[i] = src[i] + c[i] * (1 - a);
            }
        pen += s.positions[k].x_advance * strike;
    }
    // Scaled to the height by averaging the source pixels each covers.
    const int tw = std::max(1, static_cast<int>(std::lround(static_cast<double>(cw) * height / ch)));
    const int th = height;
    auto resample = [](const std::vector<float>& src, int sw, int sh, int dw, int dh, bool across) {
        std::vector<float> dst(static_cast<size_t>(dw) * dh * 4, 0.0f);
        const int from = across ? sw : sh, to = across ? dw : dh;
        const double step = static_cast<double>(from) / to;
        for (int d = 0; d < to; ++d) {
            const double lo = d * step, hi = std::min<double>(from, (d + 1) * step);
            for (int s0 = static_cast<int>(lo); s0 < from && s0 < hi; ++s0) {
                const double weight = (std::min<double>(s0 + 1, hi) - std::max<double>(s0, lo)) / (hi - lo);
                if (weight <= 0) continue;
                const int others = across ? sh : sw;
                for (int o = 0; o < others; ++o) {
                    const size_t si = across ? (static_cast<size_t>(o) * sw + s0) : (static_cast<size_t>(s0) * sw + o);
                    const size_t di = across ? (static_cast<size_t>(o) * dw + d) : (static_cast<size_t>(d) * dw + o);
                    for (int i = 0; i < 4; ++i) dst[di * 4 + i] += static_cast<float>(src[si * 4 + i] * weight);
                }
            }
        }
        return dst;
    };
    const std::vector<float> wide = resample(canvas, cw, ch, tw, ch, true);
    const std::vector<float> done = resample(wide, tw, ch, tw, th, false);
    out.width = tw;
    out.height = th;
    out.rgba.resize(static_cast<size_t>(tw) * th * 4);
    for (size_t i = 0; i < static_cast<size_t>(tw) * th; ++i) {
        const float a = std::clamp(done[i * 4 + 3], 0.0f, 1.0f);
        for (int c = 0; c < 3; ++c) {
            const float straight = a > 0 ? done[i * 4 + c] / a : 0.0f;
            out.rgba[i * 4 + c] = static_cast<std::uint8_t>(std::lround(std::clamp(straight, 0.0f, 1.0f) * 255));
        }
        out.rgba[i * 4 + 3] = static_cast<std::uint8_t>(std::lround(a * 255));
    }
    return out;
}

}  // namespace clipweave::studio
