// Pack detail windows.
#include "pack_detail.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <new>

#include "pixmap_view.h"

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string offset_text(int64_t offset) { return format("%" PRId64, offset); }

// "<low 32 bits as signed> (<seconds> sec)" of a 33-bit time stamp, or
// "N/A" when the stream did not supply it.
std::string time_stamp_text(uint64_t ts) {
    if (ts == absent_ts) return "N/A";
    auto low = static_cast<int32_t>(static_cast<uint32_t>(ts));
    auto seconds = static_cast<float>(static_cast<double>(ts & 0x1FFFFFFFFull) / 90000.0);
    return format("%d (%.2f sec)", low, static_cast<double>(seconds));
}

// Fixed-width font for the detail windows' own widgets only.
GtkCssProvider* detail_font() {
    static GtkCssProvider* provider = [] {
        GtkCssProvider* p = gtk_css_provider_new();
        gtk_css_provider_load_from_data(p, "* { font-family: monospace; }", -1, nullptr);
        return p;
    }();
    return provider;
}

void use_detail_font(GtkWidget* widget) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(detail_font()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// Tallest list of lines shown without scrolling: the screen's work area
// less room for the window frame.  A pack with very many packets would
// otherwise give a window taller than the screen, or than the window
// system allows.
int tallest_line_list() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle area = {0, 0, 0, 768};
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    return std::max(200, area.height - 80);
}

}  // namespace

std::string detail_line_text(const char* left, const char* right) {
    std::string line = left ? left : "";
    std::string r = right ? right : "";
    size_t used = line.size() + r.size();
    if (used < detail_line_width) line.append(detail_line_width - used, ' ');
    return line + r;
}

void for_each_detail_line(const pack_struct& pack,
                          const std::function<void(const char*, const char*)>& emit) {
    auto line = [&](const char* left, const std::string& right) { emit(left, right.c_str()); };
    auto scr = static_cast<int32_t>(pack.scr);
    line("start_offset =", offset_text(pack.offset));
    line("scr =", format("%d (%.3f sec)", scr, scr / 90000.0));
    line("mux =", format("%d", pack.bytes_per_second));

    for (const auto& header : pack.system_headers) {
        emit("  System_Header", nullptr);
        line("    start_offset =", offset_text(header.starting_offset));
        line("    header_length =", format("%d", header.header_length));
        line("    audio_bound =", format("%d", header.audio_bound));
        line("    video_bound = ", format("%d", header.video_bound));
        emit("    -----------------------", nullptr);
        emit("    Buffer_Info", nullptr);
        for (const auto& info : header.buffer_info) {
            emit("      -----------------------", nullptr);
            line("      stream_id =", format("0x%x", static_cast<unsigned>(info.stream_id)));
            line("      scale = ", format("%d", info.std_buffer_bound_scale));
            line("      bound = ", format("%d", info.std_buffer_size_bound));
            line("      size = ", format("%d", info.actual_std_size));
        }
    }

    for (const auto& packet : pack.packets) {
        emit("  -------------------------", nullptr);
        emit("  Packet", nullptr);
        line("    stream_name = ", packet.stream_name);
        line("    packet_length = ", format("%d", packet.length));
        line("    start_offset = ", offset_text(packet.starting_offset));
        line("    pts = ", time_stamp_text(packet.pts));
        line("    dts = ", time_stamp_text(packet.dts));
    }
}

std::vector<std::string> pack_detail_lines(const pack_struct& pack) {
    std::vector<std::string> lines;
    for_each_detail_line(pack, [&](const char* left, const char* right) {
        lines.push_back(detail_line_text(left, right));
    });
    return lines;
}

void add_detail_line(GtkWidget* box, const char* left, const char* right) {
    GtkWidget* label = gtk_label_new(detail_line_text(left, right).c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    use_detail_font(label);
    gtk_box_pack_start(GTK_BOX(box), label, TRUE, TRUE, 0);
}

void add_detail_pack(int index, pack_struct* pack) {
    if (!pack) return;
    GtkWidget* dialog = nullptr;
    try {
        pixmap_view_pack_details.reserve(pixmap_view_pack_details.size() + 1);
        dialog = gtk_dialog_new();
    } catch (const std::bad_alloc&) {
        dialog = nullptr;
    }
    if (!dialog) {
        std::fprintf(stderr, "Out of memory allocating detail pack\n");
        return;
    }
    g_signal_connect(dialog, "destroy", G_CALLBACK(remove_pack_detail_callback), nullptr);
    std::string title = format("Pack # %d", index);
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    use_detail_font(dialog);

    // The lines fill a box in the dialog, which scrolls only when it is
    // taller than the screen.
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    for_each_detail_line(*pack, [&](const char* left, const char* right) {
        add_detail_line(box, left, right);
    });
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), tallest_line_list());
    gtk_container_add(GTK_CONTAINER(scroller), box);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), scroller, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    pixmap_view_pack_details.push_back(dialog);
    pixmap_view_pack_count = static_cast<int32_t>(pixmap_view_pack_details.size());
}
