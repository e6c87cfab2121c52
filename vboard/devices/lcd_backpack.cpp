#include "lcd_backpack.hpp"

#include "../events.hpp"

namespace vboard {

LcdBackpack::LcdBackpack(Recorder& recorder, LcdGeometry geometry)
    : recorder_(recorder), lcd_(geometry), shown_(lcd_.screen())
{
}

void LcdBackpack::write(std::span<const std::uint8_t> bytes)
{
    std::vector<Hd44780::Latched> latched;
    for (const std::uint8_t byte : bytes) {
        port_ = byte;
        lcd_.set_port(byte, latched);
    }
    for (const auto& op : latched) {
        const auto kind = op.is_data ? LcdOperation::Kind::character : LcdOperation::Kind::instruction;
        recorder_.record(LcdOperation{recorder_.now(), kind, op.value, op.eight_bit});
    }
}

void LcdBackpack::read(std::span<std::uint8_t> bytes)
{
    for (auto& byte : bytes) {
        byte = port_;
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
