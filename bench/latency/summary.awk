# Turns the `latency.<case>.<figure> value unit` lines of bench/latency.sh into one table row per
# case and the ratios of our cases to their baselines.
$1 ~ /^latency\./ {
    split($1, parts, ".")
    name = parts[2]
    figure = substr($1, length("latency." name ".") + 1)
    value[name, figure] = $2
    if (!(name in seen)) { seen[name] = 1; order[++cases] = name }
}
function show(name, figure) {
    return ((name, figure) in value) ? value[name, figure] : "-"
}
function ratio(ours, base, figure) {
    if (!((ours, figure) in value) || !((base, figure) in value) || value[base, figure] == 0)
        return
    printf "ratio %s/%s %s %.2f\n", ours, base, figure, value[ours, figure] / value[base, figure]
}
END {
    split("latency_p50 latency_p95 latency_max decoded_fps bitrate host_cpu host_rss controller_cpu controller_rss accept_to_first_frame input_round_trip_p50 input_round_trip_p95 longest_gap recovery_under_150ms", columns, " ")
    print ""
    printf "%-15s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "case", "p50ms", "p95ms", "maxms",
           "fps", "Mbit/s", "hostCPU", "hostMiB", "ctlCPU", "ctlMiB", "1st_ms", "in_p50", "in_p95", "gap_ms",
           "recov_s"
    for (i = 1; i <= cases; ++i) {
        name = order[i]
        printf "%-15s", name
        for (c = 1; c <= 14; ++c) {
            figure = columns[c]
            # The floor is one process and the VNC viewer is its own program: same columns.
            if (figure == "controller_cpu" && !((name, figure) in value))
                figure = ((name, "viewer_cpu") in value) ? "viewer_cpu" : "process_cpu"
            if (figure == "controller_rss" && !((name, figure) in value))
                figure = ((name, "viewer_rss") in value) ? "viewer_rss" : "process_rss"
            if (figure == "accept_to_first_frame" && !((name, figure) in value))
                figure = "connect_to_first_update"
            printf " %7s", show(name, figure)
        }
        printf "\n"
    }
    # Where the time goes (p50 of each stage, ms). The floor's capture wait and its decode
    # (which includes the conversion to BGRA) stand in the matching columns.
    split("glass_to_capture capture_to_encoder encode encoded_to_sent network received_to_decoded paint_delay", stages, " ")
    print ""
    printf "%-15s %9s %9s %9s %9s %9s %9s %9s\n", "stage p50", "glass>cap", "cap>enc", "encode", "enc>sent",
           "network", "recv>dec", "dec>paint"
    for (i = 1; i <= cases; ++i) {
        name = order[i]
        if (!((name, "stage_encode_p50") in value)) continue
        printf "%-15s", name
        for (c = 1; c <= 7; ++c) {
            figure = stages[c] == "paint_delay" ? "paint_delay_p50" : "stage_" stages[c] "_p50"
            if (stages[c] == "glass_to_capture" && !((name, figure) in value)) figure = "stage_capture_wait_p50"
            if (stages[c] == "received_to_decoded" && !((name, figure) in value)) figure = "stage_decode_to_bgra_p50"
            printf " %9s", show(name, figure)
        }
        printf "\n"
    }
    print ""
    split("latency_p50 latency_p95", compared, " ")
    for (k = 1; k <= 2; ++k) {
        ratio("sharp_direct", "floor_sharp", compared[k])
        ratio("standard_relay", "floor_standard", compared[k])
        ratio("sharp_direct", "vnc", compared[k])
        ratio("sharp_paint", "sharp_direct", compared[k])
        ratio("floor_paced", "floor_sharp", compared[k])
    }
    ratio("impaired_8m", "sharp_direct", "latency_p95")
    ratio("drop_20_to_3", "sharp_direct", "latency_p95")
    ratio("sharp_direct", "vnc", "input_round_trip_p50")
    ratio("sharp_direct", "vnc", "input_round_trip_p95")
}
