#include "lcd_backpack.hpp"

#include "../events.hpp"

namespace vboard {

LcdBackpack::LcdBackpack(Recorder& recorder, LcdGeometry geometry, Hd44780::Start start)
    : recorder_(recorder), lcd_(geometry, start), shown_(lcd_.screen()), shown_display_on_(lcd_.display_on())
{
}

void LcdBackpack::write(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> at_ns)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        port_ = bytes[i];
        const Hd44780::Edge edge = lcd_.set_port(bytes[i], at_ns[i]);
        if (edge.latched) {
            const auto kind = edge.latched->is_data ? LcdOperation::Kind::character : LcdOperation::Kind::instruction;
            recorder_.record(LcdOperation{to_seconds(at_ns[i]), kind, edge.latched->value, edge.latched->eight_bit});
        } else if (edge.lost) {
            recorder_.record(LcdViolation{to_seconds(at_ns[i]), edge.lost->what, edge.lost->early_ns});
        }
    }
}

void LcdBackpack::read(std::span<std::uint8_t> bytes, std::span<const std::int64_t> at_ns)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(port_ & lcd_.bus_levels(at_ns[i]));
    }
}

void LcdBackpack::record_screen_if_changed()
{
    auto rows = lcd_.screen();
    if (rows == shown_ && lcd_.display_on() == shown_display_on_ && lcd_.backlight() == shown_backlight_) {
        return;
    }
    shown_ = rows;
    shown_display_on_ = lcd_.display_on();
    shown_backlight_ = lcd_.backlight();
    recorder_.record(LcdScreen{recorder_.now(), std::move(rows), shown_display_on_, shown_backlight_});
}

} // namespace vboard
