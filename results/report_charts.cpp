// The run report's charts: the time of every sleep against its request, the
// resume phases and the battery's drain, as inline SVG.
#include <math.h>
#include <stdio.h>
#include <string.h>
#include "results/report_page.h"

namespace report {

// Where the columns of both charts go.
struct ChartGeometry {
    double left;   // x of the plot's left edge
    double step;   // per column
    double width;  // of a column
    double top;    // y of the plot's top edge
    double height;
    double total;  // width of the whole chart
};

// A line of class cls across the plot at y.
static void HorizontalLine(Page* page, const ChartGeometry& g, double y, const char* cls) {
    Put(page, "<line class=\"%s\"", cls);
    Coord(page, "x1", g.left);
    Coord(page, "x2", g.total - 70);
    Coord(page, "y1", y);
    Coord(page, "y2", y);
    Raw(page, "/>");
}

// A grid line across the plot at y and the start of its label on the left;
// the caller ends the label's text element.
static void GridLine(Page* page, const ChartGeometry& g, double y) {
    HorizontalLine(page, g, y, "gr");
    Raw(page, "<text");
    Coord(page, "x", g.left - 6);
    Coord(page, "y", y + 4);
}

static ChartGeometry Geometry(int count) {
    ChartGeometry g;
    g.left = 52;
    double plot = count <= 36 ? count * 30.0 : count <= 125 ? count * 8.0 : 1000.0;
    if (plot < 240) plot = 240;  // room for the axis labels and the key
    g.step = plot / (count > 0 ? count : 1);
    g.width = g.step >= 4 ? g.step * 0.72 : g.step;
    g.top = 18;
    g.height = 170;
    g.total = g.left + plot + 70;
    return g;
}

static double ColumnX(const ChartGeometry* g, int i) { return g->left + g->step * i + (g->step - g->width) / 2; }

// Cycle numbers under the columns, thinned out to about twenty.
static void WriteColumnLabels(Page* page, const ChartGeometry* g, const SleepRecord* records, int count) {
    int every = count <= 36 ? 1 : (count + 19) / 20;
    for (int i = 0; i < count; i += every) {
        Raw(page, "<text");
        Coord(page, "x", ColumnX(g, i) + g->width / 2);
        Coord(page, "y", g->top + g->height + 14);
        Put(page, " text-anchor=\"middle\">%d</text>", records[i].cycle);
    }
}

// The scale of a chart's left axis: its top, its steps, and its unit (the
// larger one, a thousand of the smaller, from largeFrom on).
struct AxisScale {
    long long top;
    int steps;
    long long largeFrom;
    const char* unit;
    const char* largeUnit;
};

// A chart's heading, the opening of its picture and its grid with the axis labels.
static ChartGeometry StartScaledChart(Page* page, int count, const char* heading, const char* label,
                                      const AxisScale& axis) {
    ChartGeometry g = Geometry(count);
    double bottom = g.top + g.height;
    Put(page, "<h2>%s</h2>\n<svg xmlns=\"http://www.w3.org/2000/svg\"", heading);
    Coord(page, "width", g.total);
    Coord(page, "height", g.top + g.height + 24);
    Put(page, " role=\"img\" aria-label=\"%s\">\n", label);
    for (int mark = 0; mark <= axis.steps; mark++) {
        GridLine(page, g, bottom - g.height * mark / axis.steps);
        long long value = axis.top * mark / axis.steps;
        if (axis.top >= axis.largeFrom) {
            Put(page, " text-anchor=\"end\">%g %s</text>\n", value / 1000.0, axis.largeUnit);
        } else {
            Put(page, " text-anchor=\"end\">%lld %s</text>\n", value, axis.unit);
        }
    }
    return g;
}

void WriteTimeChart(Page* page, const SleepRecord* records, int count) {
    ChartGeometry g = Geometry(count);
    double highest = 1;
    for (int i = 0; i < count; i++) {
        if (records[i].requestedSec > 0 && records[i].measuredSec >= 0) {
            double ratio = (double)records[i].measuredSec / records[i].requestedSec;
            if (ratio > highest) highest = ratio;
        }
    }
    // Room above the requested mark; a far longer sleep is cut at three times it.
    double scale = ceil(highest * 2 + 0.2) / 2;
    if (scale < 1.5) scale = 1.5;
    if (scale > 3) scale = 3;
    Raw(page, "<h2>Time of every sleep against the requested time</h2>\n");
    Raw(page, "<svg xmlns=\"http://www.w3.org/2000/svg\"");
    Coord(page, "width", g.total);
    Coord(page, "height", g.top + g.height + 24);
    Raw(page, " role=\"img\" aria-label=\"Measured time of each sleep relative to its requested time\">\n");
    Raw(page,
        "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
        "patternTransform=\"rotate(45)\">");
    char lost[8];
    HexColour(VerdictColour(VERDICT_LOST), lost);
    Put(page, "<rect width=\"6\" height=\"6\" fill=\"#f3d3d3\"/><rect width=\"3\" height=\"6\" fill=\"%s\"/>", lost);
    Raw(page, "</pattern></defs>\n");
    double bottom = g.top + g.height;
    for (double mark = 0; mark <= scale + 0.001; mark += 0.5) {
        double y = bottom - g.height * mark / scale;
        GridLine(page, g, y);
        Put(page, " text-anchor=\"end\">%d%%</text>\n", (int)(mark * 100 + 0.5));
    }
    for (int i = 0; i < count; i++) {
        const SleepRecord* r = &records[i];
        int verdict = VerdictIndex(r->verdict);
        bool known = r->requestedSec > 0 && r->measuredSec >= 0;
        double ratio = known ? (double)r->measuredSec / r->requestedSec : 0;
        double height = known ? g.height * (ratio > scale ? scale : ratio) / scale : 0;
        if (height < 2) height = 2;  // a refused or unknown sleep still shows its column
        double x = ColumnX(&g, i);
        Put(page, "<rect class=\"v-%s\"", VerdictClass(verdict));
        Coord(page, "x", x);
        Coord(page, "y", bottom - height);
        Coord(page, "width", g.width);
        Coord(page, "height", height);
        Put(page, "><title>Cycle %d: ", r->cycle);
        Text(page, VerdictId(r->verdict));
        Raw(page, " ");
        Text(page, StateText(r->enteredState >= 0 ? r->enteredState : r->requestedState));
        if (r->measuredSec >= 0) Put(page, ", %d", r->measuredSec);
        if (r->requestedSec >= 0) Put(page, " of %d", r->requestedSec);
        if (r->measuredSec >= 0) Raw(page, " s");
        if (AsleepSec(r) >= 0) Put(page, ", asleep %d", AsleepSec(r));
        if (r->lostReason != LOST_NONE) {
            Raw(page, ", ");
            Text(page, LostReasonId(r->lostReason));
        }
        Raw(page, "</title></rect>");
        if (ratio > scale) {  // cut at the top: a notch says so
            Raw(page, "<path class=\"lm\" d=\"M");
            Put(page, "%.1f %.1fl%.1f -5l%.1f 5z\"/>", x, bottom - height - 2, g.width / 2, g.width / 2);
        }
        // L: lost; D: a device missing or with a problem after this sleep.
        const char* mark = verdict == VERDICT_LOST ? (HasDeviceFault(r->devices) ? "LD" : "L")
                           : HasDeviceFault(r->devices) ? "D"
                                                        : nullptr;
        if (mark) {
            Raw(page, "<text class=\"lm\"");
            Coord(page, "x", x + g.width / 2);
            Coord(page, "y", bottom - height - (ratio > scale ? 9 : 3));
            Put(page, " text-anchor=\"middle\">%s</text>", mark);
        }
        Raw(page, "\n");
    }
    double requested = bottom - g.height / scale;
    HorizontalLine(page, g, requested, "rq");
    Raw(page, "<text");
    Coord(page, "x", g.total - 66);
    Coord(page, "y", requested + 4);
    Raw(page, ">requested</text>\n");
    HorizontalLine(page, g, bottom, "ax");
    WriteColumnLabels(page, &g, records, count);
    Raw(page, "\n</svg>\n<p class=\"key\">Height: measured time as a share of the requested time, by cycle. "
              "L: lost (the machine did not come back from this sleep). D: a device was missing or had a "
              "problem after the sleep.</p>\n");
}

// A round top of a scale that reaches highest: 1, 2 or 5 times a power of ten,
// at least 100, in 4, 4 or 5 steps so that every mark is a round number too.
static long long RoundScale(long long highest, int* steps) {
    long long scale = 100;
    *steps = 4;
    for (long long base = 100; scale < highest; base *= 10) {
        const int leads[] = {1, 2, 5};
        for (int lead : leads) {
            scale = base * lead;
            *steps = lead == 5 ? 5 : 4;
            if (scale >= highest) break;
        }
    }
    return scale;
}

// A phase's time for the chart: unknown is none, and a day is plenty (the
// sum of three must not overflow whatever the file says).
static long long PhaseMs(long long value) {
    const long long DAY_MS = 86400000LL;
    return value <= 0 ? 0 : value < DAY_MS ? value : DAY_MS;
}

// Resume time of every sleep whose record has phases, stacked into firmware,
// drivers and the hibernation file's read.
void WritePhaseChart(Page* page, const SleepRecord* records, int count) {
    long long highest = 0;
    bool any = false;
    for (int i = 0; i < count; i++) {
        if (!records[i].phasesKnown) continue;
        any = true;
        const SleepRecord* p = &records[i];
        long long total = PhaseMs(Phase(p, PHASE_FIRMWARE)) + PhaseMs(Phase(p, PHASE_DRIVERS)) + PhaseMs(Phase(p, PHASE_HIBER_READ));
        if (total > highest) highest = total;
    }
    if (!any) return;
    int steps;
    long long scale = RoundScale(highest, &steps);
    ChartGeometry g = StartScaledChart(page, count, "Resume time of every sleep", "Resume time of each sleep by phase",
                                       {scale, steps, 2000, "ms", "s"});
    double bottom = g.top + g.height;
    for (int i = 0; i < count; i++) {
        const SleepRecord* r = &records[i];
        if (!r->phasesKnown) continue;
        const SleepRecord* p = r;
        Put(page, "<g><title>Cycle %d: resume", r->cycle);
        if (Phase(p, PHASE_WAKE) >= 0) Put(page, " %lld ms", Phase(p, PHASE_WAKE));
        if (Phase(p, PHASE_FIRMWARE) >= 0) Put(page, "; firmware %lld", Phase(p, PHASE_FIRMWARE));
        if (Phase(p, PHASE_DRIVERS) >= 0) Put(page, ", drivers %lld", Phase(p, PHASE_DRIVERS));
        if (Phase(p, PHASE_HIBER_READ) >= 0) Put(page, ", file read %lld", Phase(p, PHASE_HIBER_READ));
        Raw(page, "</title>");
        const struct {
            long long ms;
            const char* cls;
        } parts[] = {
            {PhaseMs(Phase(p, PHASE_FIRMWARE)), "p-fw"}, {PhaseMs(Phase(p, PHASE_DRIVERS)), "p-dr"}, {PhaseMs(Phase(p, PHASE_HIBER_READ)), "p-hr"}};
        double y = bottom;
        for (const auto& part : parts) {
            if (part.ms <= 0) continue;
            double height = g.height * (double)part.ms / (double)scale;
            Put(page, "<rect class=\"%s\"", part.cls);
            Coord(page, "x", ColumnX(&g, i));
            Coord(page, "y", y - height);
            Coord(page, "width", g.width);
            Coord(page, "height", height);
            Raw(page, "/>");
            y -= height;
        }
        Raw(page, "</g>\n");
    }
    HorizontalLine(page, g, bottom, "ax");
    WriteColumnLabels(page, &g, records, count);
    Raw(page,
        "\n</svg>\n<p class=\"key\">Resume by cycle:<i class=\"p-fw\"></i>firmware<i class=\"p-dr\"></i>drivers"
        "<i class=\"p-hr\"></i>hibernation file read</p>\n");
}

// A drain for the chart: none for a battery that gained charge, and a
// megawatt is beyond any laptop (the scale must not overflow whatever the file says).
static long long DrainMw(const BatteryFigures& b) {
    const long long MOST_MW = 1000000000LL;
    if (!b.known || !b.drainMw.known || b.drainMw.value <= 0) return 0;
    return b.drainMw.value < MOST_MW ? b.drainMw.value : MOST_MW;
}

// The battery's drain during every sleep that has one; sleeps on mains power
// or without a battery have no column.
void WriteBatteryChart(Page* page, const SleepRecord* records, int count) {
    long long highest = 0;
    bool any = false;
    for (int i = 0; i < count; i++) {
        if (!records[i].battery.known || !records[i].battery.drainMw.known) continue;
        any = true;
        if (DrainMw(records[i].battery) > highest) highest = DrainMw(records[i].battery);
    }
    if (!any) return;
    int steps;
    long long scale = RoundScale(highest, &steps);
    ChartGeometry g = StartScaledChart(page, count, "Battery drain of every sleep",
                                       "Battery drain during each sleep in milliwatts", {scale, steps, 10000, "mW", "W"});
    double bottom = g.top + g.height;
    for (int i = 0; i < count; i++) {
        const BatteryFigures& b = records[i].battery;
        if (!b.known || !b.drainMw.known) continue;
        double height = g.height * (double)DrainMw(b) / (double)scale;
        if (height < 1) height = 1;  // a sleep that cost nothing still shows it was measured
        Raw(page, "<rect class=\"bd\"");
        Coord(page, "x", ColumnX(&g, i));
        Coord(page, "y", bottom - height);
        Coord(page, "width", g.width);
        Coord(page, "height", height);
        Put(page, "><title>Cycle %d: %lld mW", records[i].cycle, b.drainMw.value);
        if (b.beforeMwh.known && b.afterMwh.known)
            Put(page, ", %lld to %lld mWh", b.beforeMwh.value, b.afterMwh.value);
        Raw(page, "</title></rect>\n");
    }
    HorizontalLine(page, g, bottom, "ax");
    WriteColumnLabels(page, &g, records, count);
    Raw(page, "\n</svg>\n<p class=\"key\">Height: the battery's charge lost per hour asleep, in mW, by cycle; "
              "sleeps on mains power have no column.</p>\n");
}

}  // namespace report
