// Lisp export of the stream model.
//
// The prelude declares the variables, the slot-index constants and the
// constructor / adder functions; each pack is then rebuilt by a short run of
// top-level forms that ends by adding the pack to `packs`.  Packs are added
// at a tail pointer kept by the prelude, so a long export loads in linear
// time.  Emacs Lisp and
// Common Lisp share the text except for a handful of words, chosen on every
// call from the settings so the output follows the dialect in force.

#include "lisp_export.h"

#include <cinttypes>
#include <cstdio>


bool _export_first_pack = true;
bool _export_elisp = false;
bool _export_CL_lisp = false;

void export_lisp_reset_first_pack() { _export_first_pack = true; }

namespace {

struct dialect_words {
    const char* definition;  // slot-index constants
    const char* reader;      // vector read in the adder functions
    const char* assignment;  // head of every per-pack form
    bool elisp;
};

dialect_words current_dialect() {
    if (_export_elisp) return {"defconst", "aref", "setq", true};
    return {"defconstant", "svref", "setf", false};
}

struct slot_constant {
    const char* name;
    int index;
};

const slot_constant pack_constants[] = {
    {"*pack-offset*", 0},   {"*pack-scr*", 1},      {"*pack-ext*", 2},
    {"*pack-mux*", 3},      {"*pack-stuffing*", 4}, {"*pack-packets*", 5},
    {"*pack-system-headers*", 6},
};

// Slot 14 carries the name *packet-dts-dts-flag*; loaded programs refer to
// the constant by that name.
const slot_constant packet_constants[] = {
    {"*packet-stream-id*", 0},
    {"*packet-stream-name*", 1},
    {"*packet-length*", 2},
    {"*packet-starting-offset*", 3},
    {"*packet-ends-at*", 4},
    {"*packet-header-stuffing-bytes*", 5},
    {"*packet-pes-scrambling-code*", 6},
    {"*packet-data-alignment-indicator*", 7},
    {"*packet-copyright*", 8},
    {"*packet-original-or-copy*", 9},
    {"*packet-std-buffer-scale*", 10},
    {"*packet-std-buffer-size*", 11},
    {"*packet-pts*", 12},
    {"*packet-dts*", 13},
    {"*packet-dts-dts-flag*", 14},
    {"*packet-pes-header-data-length*", 15},
    {"*packet-es-rate*", 16},
    {"*packet-trick-mode*", 17},
    {"*packet-additional-copy-info*", 18},
    {"*packet-previous-pes-packet-crc*", 19},
    {"*packet-extension-data*", 20},
};

const slot_constant system_header_constants[] = {
    {"*system-header-starting-offset*", 0},
    {"*system-header-header-length*", 1},
    {"*system-header-rate-bound*", 2},
    {"*system-header-audio-bound*", 3},
    {"*system-header-fixed-flag*", 4},
    {"*system-header-csps-flag*", 5},
    {"*system-header-system-audio-lock-flag*", 6},
    {"*system-header-system-video-lock-flag*", 7},
    {"*system-header-video-bound*", 8},
    {"*system-header-packet-rate-restriction*", 9},
    {"*system-header-buffer-info*", 10},
};

// One constant per line, the name padded to `width` so the indexes line up.
template <size_t N>
void print_constants(const dialect_words& w, const slot_constant (&table)[N], int width) {
    for (const slot_constant& c : table) printf("(%s %-*s%d)\n", w.definition, width, c.name, c.index);
}

void print_functions(const dialect_words& w) {
    fputs("(defun make-pack (offset scr ext mux stuffing)\n"
          "   (vector offset scr ext mux stuffing nil nil))\n"
          "\n"
          "(compile 'make-pack)\n"
          "(defun make-packet (stream-id stream-name length starting-offset ends-at\n"
          "                    header-stuffing-bytes pes-scrambling-code data-alignment-indicator\n"
          "                    copyright original-or-copy std-buffer-scale std-buffer-size \n"
          "                    pts dts pts-dts-flag pes-header-data-length es-rate trick-mode additional-copy-info\n"
          "                    previous-pes-packet-crc extension-data)\n"
          "   (vector stream-id stream-name length starting-offset ends-at header-stuffing-bytes \n"
          "           pes-scrambling-code data-alignment-indicator copyright original-or-copy std-buffer-scale\n"
          "           std-buffer-size pts dts pts-dts-flag pes-header-data-length es-rate trick-mode\n"
          "           additional-copy-info previous-pes-packet-crc extension-data))\n"
          "\n"
          "(compile 'make-packet)\n"
          "(defun make-buffer-info (stream-id std-buffer-bound-scale std-buffer-size-bound actual-std-size)\n"
          "   (vector stream-id std-buffer-bound-scale std-buffer-size-bound actual-std-size))\n"
          "\n"
          "(compile 'make-buffer-info)\n"
          "(defun make-system-header (starting-offset header-length rate-bound audio-bound fixed-flag\n"
          "                           csps-flag system-audio-lock-flag system-video-lock-flag video-bound\n"
          "                           packet-rate-restriction)\n"
          "   (vector starting-offset header-length rate-bound audio-bound fixed-flag csps-flag\n"
          "           system-audio-lock-flag system-video-lock-flag video-bound packet-rate-restriction\n"
          "           nil))\n"
          "\n"
          "(compile 'make-system-header)\n"
          "(defun add-buffer-info-to-system-header (sys buf)\n",
          stdout);
    printf("   (let ((info (%s sys *system-header-buffer-info* )))\n", w.reader);
    fputs("      (if info\n", stdout);
    if (w.elisp)
        fputs("          (aset sys *system-header-buffer-info* (append info (list buf) ))\n"
              "         (aset sys *system-header-buffer-info* (list buf) )))\n",
              stdout);
    else
        fputs("          (setf (svref sys *system-header-buffer-info*) (append info (list buf) ))\n"
              "         (setf (svref sys *system-header-buffer-info*) (list buf) ))) \n",
              stdout);
    fputs("   sys)\n"
          "\n"
          "(compile 'add-buffer-info-to-system-header)\n"
          "(defun add-packet-to-pack (pack packet)\n",
          stdout);
    printf("   (let ((packets (%s pack *pack-packets* )))\n", w.reader);
    fputs("      (if  packets\n", stdout);
    if (w.elisp)
        fputs("          (aset pack *pack-packets* (append packets (list packet) ))\n"
              "         (aset pack *pack-packets* (list packet))))\n",
              stdout);
    else
        fputs("          (setf (svref pack *pack-packets*) (append packets (list packet) ))\n"
              "         (setf (svref pack *pack-packets*) (list packet))))\n",
              stdout);
    fputs("   pack)\n"
          "\n"
          "(compile 'add-packet-to-pack)\n"
          "(defun add-system-header-to-pack (pack sys)\n",
          stdout);
    printf("   (let ((hdr (%s pack *pack-system-headers* )))\n", w.reader);
    fputs("      (if  hdr\n", stdout);
    if (w.elisp)
        fputs("          (aset pack *pack-system-headers* (append hdr (list sys)))\n"
              "         (aset pack *pack-system-headers* (list sys))))\n",
              stdout);
    else
        fputs("          (setf (svref pack *pack-system-headers*) (append hdr (list sys)))\n"
              "         (setf (svref pack *pack-system-headers*) (list sys))))\n",
              stdout);
    fputs("   pack)\n"
          "\n"
          "(compile 'add-system-header-to-pack)\n",
          stdout);
    // Adds a pack at the end of `packs` in constant time.  `packs-tail` is
    // the last cell of `packs` while `packs-tail-head` is still the list's
    // first cell; otherwise (the first pack, a list rebuilt by an earlier
    // form or an earlier load) the tail is looked up again once.
    fputs("(defun add-pack-to-packs (pack)\n"
          "   (let ((cell (list pack)))\n"
          "      (if (not (and packs-tail (eq packs-tail-head packs) (null (cdr packs-tail))))\n"
          "          (setq packs-tail (last packs)))\n"
          "      (if packs-tail\n",
          stdout);
    fputs(w.elisp ? "          (setcdr packs-tail cell)\n" : "          (setf (cdr packs-tail) cell)\n", stdout);
    fputs("         (setq packs cell))\n"
          "      (setq packs-tail cell)\n"
          "      (setq packs-tail-head packs)\n"
          "      packs))\n"
          "\n"
          "(compile 'add-pack-to-packs)\n",
          stdout);
}

// "t" when the stream supplied the field (whatever its value), "nil" when not.
const char* presence(int32_t field) { return field == -1 ? "nil" : "t"; }

// A time stamp as its full 33-bit value, or nil when absent.  `buf` must hold
// at least 21 characters.
const char* time_stamp(uint64_t ts, char* buf, size_t size) {
    if (ts == absent_ts) return "nil";
    snprintf(buf, size, "%" PRId64, static_cast<int64_t>(ts));
    return buf;
}

void print_packet(const dialect_words& w, const packet_struct& p) {
    char pts[24];
    char dts[24];
    printf("(%s current-pack (add-packet-to-pack current-pack \n", w.assignment);
    printf("       (make-packet %d \"%s\" %d %" PRId64 " %" PRId64 " %d %d \n", p.stream_id,
           p.stream_name.c_str(), p.length, p.starting_offset, p.ends_at, p.header_stuffing_bytes,
           p.pes_scrambling_code);
    printf("                    %s %s %s %d %d %s %s %d %d\n", presence(p.data_alignment_indicator),
           presence(p.copyright), presence(p.original_or_copy), p.std_buffer_scale, p.std_buffer_size,
           time_stamp(p.pts, pts, sizeof pts), time_stamp(p.dts, dts, sizeof dts), p.pts_dts_flag,
           p.pes_header_data_length);
    printf("                    %s %s %s %s %s )))\n", presence(p.es_rate), presence(p.trick_mode),
           presence(p.additional_copy_info), presence(p.previous_pes_packet_crc),
           presence(p.extension_data));
}

void print_system_header(const dialect_words& w, const system_header_struct& h) {
    printf("(%s current-system-header (make-system-header %" PRId64 " %d %d %d %d %d %d %d %d %d))\n",
           w.assignment, h.starting_offset, h.header_length, h.rate_bound, h.audio_bound,
           h.fixed_flag, h.csps_flag, h.system_audio_lock_flag, h.system_video_lock_flag,
           h.video_bound, h.packet_rate_restriction);
    for (const buffer_info_struct& b : h.buffer_info) {
        printf("(%s current-system-header (add-buffer-info-to-system-header current-system-header \n",
               w.assignment);
        printf("                              (make-buffer-info %d %d %d %d)))\n", b.stream_id,
               b.std_buffer_bound_scale, b.std_buffer_size_bound, b.actual_std_size);
    }
}

}  // namespace

void export_lisp_prelude() {
    const dialect_words w = current_dialect();
    fputs("(defvar packs nil)\n"
          "(defvar current-pack nil)\n"
          "(defvar current-packet nil)\n"
          "(defvar current-system-header nil)\n"
          "(defvar current-buffer-info nil)\n"
          "(defvar packs-tail nil)\n"
          "(defvar packs-tail-head nil)\n"
          "\n"
          "\n"
          ";; pack field constants\n",
          stdout);
    print_constants(w, pack_constants, 24);
    fputs(";; packet field constants\n", stdout);
    print_constants(w, packet_constants, 34);
    fputs("\n;; system header field constants\n", stdout);
    print_constants(w, system_header_constants, 41);
    fputs("\n", stdout);
    print_functions(w);
}

void export_lisp_pack(const pack_struct& pack) {
    const dialect_words w = current_dialect();
    // scr holds bits 31..0 of the clock base; it prints as the signed 32-bit
    // value like every other field.
    printf("(%s current-pack (make-pack %" PRId64 " %d %d %d %d))\n", w.assignment, pack.offset,
           static_cast<int32_t>(pack.scr), pack.ext, pack.mux, pack.stuffing);
    for (const packet_struct& p : pack.packets) print_packet(w, p);
    // Each system header is added as soon as it is built, so that a pack
    // with several (some multiplexers write one before every packet) keeps
    // them all.
    for (const system_header_struct& h : pack.system_headers) {
        print_system_header(w, h);
        printf("(%s current-pack (add-system-header-to-pack current-pack current-system-header))\n",
               w.assignment);
    }
    if (_export_first_pack) {
        _export_first_pack = false;
        printf("(%s packs (list current-pack))\n\n", w.assignment);
    } else {
        printf("(%s packs (add-pack-to-packs current-pack))\n\n", w.assignment);
    }
}
