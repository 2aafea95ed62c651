// An observer that builds each pack of the model from the parts a reader
// hands out and gives it away when the pack ends.
#pragma once

#include <functional>
#include <memory>

#include "ps_reader.h"

class pack_builder : public ps_observer {
public:
    explicit pack_builder(std::function<void(std::unique_ptr<pack_struct>)> sink) : sink_(std::move(sink)) {}

    void pack_header(const ps_reader&, const pack_struct& header) override {
        pack_ = std::make_unique<pack_struct>(header);
    }
    void system_header(const ps_reader&, const system_header_struct& header) override { header_ = header; }
    void buffer_info(const ps_reader&, const buffer_info_struct& info) override { add_buffer_info(header_, info); }
    void system_header_end(const ps_reader&, const system_header_struct&) override {
        if (pack_) add_header_to_pack(*pack_, std::move(header_));
        header_ = system_header_struct{};
    }
    void packet_end(const ps_reader&, const packet_struct& packet) override {
        if (pack_) add_packet_to_pack(*pack_, packet_struct(packet));
    }
    void pack_end(const ps_reader&, const pack_struct& header) override {
        if (!pack_) pack_ = std::make_unique<pack_struct>(header);
        sink_(std::move(pack_));
    }

private:
    std::function<void(std::unique_ptr<pack_struct>)> sink_;
    std::unique_ptr<pack_struct> pack_;
    system_header_struct header_;
};
