// Dumps of transport streams: the text dump and the JSON Lines export, as
// observers of a ts_reader.  Each tells the program tables when they first
// come and when they change, every PES packet when it ends (when the count
// of its transport packets is known), every PCR and every fault, in the
// order the reader finds them.  Nothing is kept from one event to the next
// but the last packet's continuity fields and a sync-loss message, so
// memory stays flat whatever the stream.
#pragma once

#include <cstdio>
#include <string>

#include "ts_reader.h"

// Why a PES packet ended, in words: "next payload_unit_start",
// "packets of its PID are missing", ...
const char* ts_pes_end_text(const ts_pes& pes);

// What every TS dump remembers between events: the continuity fields of
// the last packet (a continuity error follows its packet's on_packet) and
// the message of a sync loss (its on_error comes before on_sync_loss).
class ts_dump_base : public ts_observer {
public:
    void on_packet(const ts_reader&, const ts_packet_info& packet) override;
    void on_error(const ts_reader&, const stream_error& e) override;
    void on_sync_loss(const ts_reader&, const ts_sync_loss& loss) override;
    uint64_t errors() const { return errors_; }

protected:
    // One stream error, with the continuity fields when it is a continuity
    // error (-1 otherwise) and the sync loss when it is one (else null).
    virtual void error(const stream_error& e, int32_t continuity_counter, int32_t missing_packets,
                       const ts_sync_loss* loss) = 0;

private:
    int64_t last_packet_offset_ = -1;
    int32_t last_continuity_counter_ = -1;
    int32_t last_missing_packets_ = -1;
    stream_error sync_error_;
    uint64_t errors_ = 0;
};

// Indented text, in the style of the program-stream dump: a line naming
// each record with its offset in brackets ("PES [0x3ac]"), then its fields
// as "name = value", one tab further in.
class ts_text_dump : public ts_dump_base {
public:
    explicit ts_text_dump(FILE* out) : out_(out) {}
    void on_pcr(const ts_reader&, const ts_packet_info& packet, const ts_clock_reference& pcr) override;
    void on_pat(const ts_reader&, const ts_pat& pat) override;
    void on_pmt(const ts_reader&, const ts_pmt& pmt) override;
    void on_pes_end(const ts_reader&, const ts_pes& pes) override;

protected:
    void error(const stream_error& e, int32_t continuity_counter, int32_t missing_packets,
               const ts_sync_loss* loss) override;

private:
    void print_descriptors(const std::vector<ts_descriptor>& descriptors, const char* indent);
    void print_pes_header(const ts_pes& pes);
    FILE* out_;
};

// JSON Lines: one object per record, each with its "type" ("pat", "pmt",
// "pes", "pcr", "error"), written whole with one call when the record is
// complete.
class ts_json_export : public ts_dump_base {
public:
    explicit ts_json_export(FILE* out) : out_(out) {}
    void on_pcr(const ts_reader&, const ts_packet_info& packet, const ts_clock_reference& pcr) override;
    void on_pat(const ts_reader&, const ts_pat& pat) override;
    void on_pmt(const ts_reader&, const ts_pmt& pmt) override;
    void on_pes_end(const ts_reader&, const ts_pes& pes) override;

protected:
    void error(const stream_error& e, int32_t continuity_counter, int32_t missing_packets,
               const ts_sync_loss* loss) override;

private:
    void write_line();
    FILE* out_;
    std::string line_;
};
