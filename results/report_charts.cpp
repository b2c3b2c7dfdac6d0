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

// The columns of a chart: a sleep each, or in a longer run REPORT_BUCKETS
// buckets of consecutive sleeps.
struct Columns {
    const ReportRow* rows;
    int rowCount;
    int count;
    bool buckets;
};

static Columns ColumnsOf(const ReportRow* rows, int rowCount) {
    bool buckets = rowCount > REPORT_ALL_ROWS;
    return {rows, rowCount, buckets ? REPORT_BUCKETS : rowCount, buckets};
}

// The rows [*first, *end) of column c.
static void ColumnRows(const Columns& columns, int c, int* first, int* end) {
    *first = (int)((long long)c * columns.rowCount / columns.count);
    *end = (int)((long long)(c + 1) * columns.rowCount / columns.count);
}

// Cycle numbers under the columns, thinned out to about twenty.
static void WriteColumnLabels(Page* page, const ChartGeometry* g, const Columns& columns) {
    int every = columns.count <= 36 ? 1 : (columns.count + 19) / 20;
    for (int c = 0; c < columns.count; c += every) {
        int first, end;
        ColumnRows(columns, c, &first, &end);
        Raw(page, "<text");
        Coord(page, "x", ColumnX(g, c) + g->width / 2);
        Coord(page, "y", g->top + g->height + 14);
        Put(page, " text-anchor=\"middle\">%d</text>", columns.rows[first].cycle);
    }
}

// "Cycles 101-200 (100 sleeps)" of a bucket, as its tooltip begins.
static void BucketTitle(Page* page, const Columns& columns, int first, int end) {
    Put(page, "<title>Cycles %d\xE2\x80\x93%d (%d sleeps)", columns.rows[first].cycle, columns.rows[end - 1].cycle,
        end - first);
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

// How bad a verdict is, for the colour of a bucket: the worst sleep in it wins.
static int Severity(int verdict) {
    static const int RANK[VERDICT_COUNT + 1] = {
        0,  // ok
        3,  // short
        1,  // long
        6,  // not_slept
        5,  // refused
        7,  // lost
        4,  // wrong_state
        2,  // device_fault
        1,  // a verdict this build does not know
    };
    return verdict >= 0 && verdict <= VERDICT_COUNT ? RANK[verdict] : 1;
}

// The share of the requested time a sleep's column shows: the time asleep
// where it is known (a sleep that never happened has none), else the time away.
static bool TimeRatio(const ReportRow& r, double* ratio) {
    if (r.requestedSec <= 0) return false;
    int shown = r.asleepSec >= 0 ? r.asleepSec : r.measuredSec;
    if (shown < 0) return false;
    *ratio = (double)shown / r.requestedSec;
    return true;
}

static void SleepFacts(Page* page, const ReportRow& r) {
    Text(page, r.verdict < VERDICT_COUNT ? VerdictId(r.verdict) : "other");
    Raw(page, " ");
    Text(page, StateText(r.enteredState >= 0 ? r.enteredState : r.requestedState));
    if (r.measuredSec >= 0) Put(page, ", back after %d", r.measuredSec);
    if (r.requestedSec >= 0) Put(page, " of %d", r.requestedSec);
    if (r.measuredSec >= 0) Raw(page, " s");
    if (r.asleepSec >= 0) Put(page, ", asleep %d", r.asleepSec);
    if (r.lostReason != LOST_NONE) {
        Raw(page, ", ");
        Text(page, LostReasonId(r.lostReason));
    }
}

void WriteTimeChart(Page* page, const ReportRow* rows, int count) {
    Columns columns = ColumnsOf(rows, count);
    ChartGeometry g = Geometry(columns.count);
    double highest = 1;
    for (int i = 0; i < count; i++) {
        double ratio;
        if (TimeRatio(rows[i], &ratio) && ratio > highest) highest = ratio;
    }
    // Room above the requested mark; a far longer sleep is cut at three times it.
    double scale = ceil(highest * 2 + 0.2) / 2;
    if (scale < 1.5) scale = 1.5;
    if (scale > 3) scale = 3;
    Raw(page, "<h2>Time of every sleep against the requested time</h2>\n");
    Raw(page, "<svg xmlns=\"http://www.w3.org/2000/svg\"");
    Coord(page, "width", g.total);
    Coord(page, "height", g.top + g.height + 24);
    Raw(page, " role=\"img\" aria-label=\"Time asleep of each sleep relative to its requested time\">\n");
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
    for (int c = 0; c < columns.count; c++) {
        int first, end;
        ColumnRows(columns, c, &first, &end);
        // The worst sleep of the column speaks for it.
        int worst = first;
        bool anyLost = false, anyDevice = false;
        int verdicts[VERDICT_COUNT + 1] = {};
        for (int i = first; i < end; i++) {
            if (Severity(rows[i].verdict) > Severity(rows[worst].verdict)) worst = i;
            anyLost = anyLost || rows[i].verdict == VERDICT_LOST;
            anyDevice = anyDevice || (rows[i].flags & ROW_DEVICE_FAULT);
            verdicts[rows[i].verdict >= 0 && rows[i].verdict <= VERDICT_COUNT ? rows[i].verdict : (int)VERDICT_COUNT]++;
        }
        const ReportRow& r = rows[worst];
        int verdict = VerdictIndex(r.verdict);
        double ratio = 0;
        bool known = TimeRatio(r, &ratio);
        double height = known ? g.height * (ratio > scale ? scale : ratio) / scale : 0;
        if (height < 2) height = 2;  // a refused or unknown sleep still shows its column
        double x = ColumnX(&g, c);
        Put(page, "<rect class=\"v-%s\"", VerdictClass(verdict));
        Coord(page, "x", x);
        Coord(page, "y", bottom - height);
        Coord(page, "width", g.width);
        Coord(page, "height", height);
        Raw(page, ">");
        if (columns.buckets) {
            BucketTitle(page, columns, first, end);
            Raw(page, ":");
            for (int v = 0; v <= VERDICT_COUNT; v++)
                if (verdicts[v]) Put(page, " %d %s", verdicts[v], v < VERDICT_COUNT ? VerdictId(v) : "other");
            Put(page, "; worst, cycle %d: ", r.cycle);
        } else {
            Put(page, "<title>Cycle %d: ", r.cycle);
        }
        SleepFacts(page, r);
        Raw(page, "</title></rect>");
        if (ratio > scale) {  // cut at the top: a notch says so
            Raw(page, "<path class=\"lm\" d=\"M");
            Put(page, "%.1f %.1fl%.1f -5l%.1f 5z\"/>", x, bottom - height - 2, g.width / 2, g.width / 2);
        }
        // L: lost; D: a device missing or with a problem after this sleep.
        const char* mark = anyLost ? (anyDevice ? "LD" : "L") : anyDevice ? "D" : nullptr;
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
    WriteColumnLabels(page, &g, columns);
    Raw(page, "\n</svg>\n<p class=\"key\">Height: time asleep (where it is not known, the time away) as a share "
              "of the requested time, by cycle. L: lost (the machine did not come back from this sleep). D: a "
              "device was missing or had a problem after the sleep.");
    if (columns.buckets)
        Put(page, " Each column is %d or %d consecutive sleeps, coloured and drawn as the worst of them.",
            count / columns.count, (count + columns.count - 1) / columns.count);
    Raw(page, "</p>\n");
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

static long long PartMs(const ReportRow& r, int phase) { return r.phaseMs[phase] > 0 ? r.phaseMs[phase] : 0; }

// A sleep's resume parts as the chart stacks them, and the whole resume they are part of.
static long long PartsMs(const ReportRow& r) {
    return PartMs(r, ROW_FIRMWARE) + PartMs(r, ROW_DRIVERS) + PartMs(r, ROW_HIBER_READ);
}
static long long WholeMs(const ReportRow& r) {
    long long parts = PartsMs(r);
    return r.phaseMs[ROW_WAKE] > parts ? r.phaseMs[ROW_WAKE] : parts;
}

static void PhaseFacts(Page* page, const ReportRow& r) {
    if (r.phaseMs[ROW_WAKE] >= 0) Put(page, " %d ms", r.phaseMs[ROW_WAKE]);
    if (r.phaseMs[ROW_FIRMWARE] >= 0) Put(page, "; firmware %d", r.phaseMs[ROW_FIRMWARE]);
    if (r.phaseMs[ROW_DRIVERS] >= 0) Put(page, ", drivers %d", r.phaseMs[ROW_DRIVERS]);
    if (r.phaseMs[ROW_HIBER_READ] >= 0) Put(page, ", file read %d", r.phaseMs[ROW_HIBER_READ]);
}

// The whole resume of every sleep whose record has phases, with its parts
// inside it: firmware, drivers and the hibernation file's read.
void WritePhaseChart(Page* page, const ReportRow* rows, int count) {
    long long highest = 0;
    bool any = false;
    for (int i = 0; i < count; i++) {
        if (!(rows[i].flags & ROW_HAS_PHASES)) continue;
        any = true;
        if (WholeMs(rows[i]) > highest) highest = WholeMs(rows[i]);
    }
    if (!any) return;
    Columns columns = ColumnsOf(rows, count);
    int steps;
    long long scale = RoundScale(highest, &steps);
    ChartGeometry g = StartScaledChart(page, columns.count, "Resume time of every sleep",
                                       "Resume time of each sleep, whole and by phase", {scale, steps, 2000, "ms", "s"});
    double bottom = g.top + g.height;
    for (int c = 0; c < columns.count; c++) {
        int first, end;
        ColumnRows(columns, c, &first, &end);
        // The longest resume of the column speaks for it.
        int longest = -1;
        for (int i = first; i < end; i++) {
            if (!(rows[i].flags & ROW_HAS_PHASES)) continue;
            if (longest < 0 || WholeMs(rows[i]) > WholeMs(rows[longest])) longest = i;
        }
        if (longest < 0) continue;
        const ReportRow& r = rows[longest];
        if (columns.buckets) {
            Raw(page, "<g>");
            BucketTitle(page, columns, first, end);
            Put(page, ": longest resume, cycle %d:", r.cycle);
        } else {
            Put(page, "<g><title>Cycle %d: resume", r.cycle);
        }
        PhaseFacts(page, r);
        Raw(page, "</title>");
        double x = ColumnX(&g, c);
        long long whole = WholeMs(r);
        if (r.phaseMs[ROW_WAKE] > 0) {
            double height = g.height * (double)whole / (double)scale;
            Raw(page, "<rect class=\"p-wh\"");
            Coord(page, "x", x);
            Coord(page, "y", bottom - height);
            Coord(page, "width", g.width);
            Coord(page, "height", height);
            Raw(page, "/>");
        }
        const struct {
            int phase;
            const char* cls;
        } parts[] = {{ROW_FIRMWARE, "p-fw"}, {ROW_DRIVERS, "p-dr"}, {ROW_HIBER_READ, "p-hr"}};
        // The parts stand inside the whole, narrower, so that both are seen.
        double inset = g.width >= 4 ? g.width * 0.2 : 0;
        double y = bottom;
        for (const auto& part : parts) {
            long long ms = PartMs(r, part.phase);
            if (ms <= 0) continue;
            double height = g.height * (double)ms / (double)scale;
            Put(page, "<rect class=\"%s\"", part.cls);
            Coord(page, "x", x + inset);
            Coord(page, "y", y - height);
            Coord(page, "width", g.width - 2 * inset);
            Coord(page, "height", height);
            Raw(page, "/>");
            y -= height;
        }
        Raw(page, "</g>\n");
    }
    HorizontalLine(page, g, bottom, "ax");
    WriteColumnLabels(page, &g, columns);
    Raw(page,
        "\n</svg>\n<p class=\"key\">Resume by cycle:<i class=\"p-wh\"></i>whole resume<i class=\"p-fw\"></i>firmware"
        "<i class=\"p-dr\"></i>drivers<i class=\"p-hr\"></i>hibernation file read");
    if (columns.buckets) Raw(page, ". Each column is the longest resume of its consecutive sleeps");
    Raw(page, "</p>\n");
}

// The battery's drain during every sleep that has one; sleeps on mains power
// or without a battery have no column.
void WriteBatteryChart(Page* page, const ReportRow* rows, int count) {
    const long long MOST_MW = 1000000000LL;  // a megawatt is beyond any laptop
    long long highest = 0;
    bool any = false;
    for (int i = 0; i < count; i++) {
        if (rows[i].drainMw < 0) continue;
        any = true;
        long long drain = rows[i].drainMw < MOST_MW ? rows[i].drainMw : MOST_MW;
        if (drain > highest) highest = drain;
    }
    if (!any) return;
    Columns columns = ColumnsOf(rows, count);
    int steps;
    long long scale = RoundScale(highest, &steps);
    ChartGeometry g = StartScaledChart(page, columns.count, "Battery drain of every sleep",
                                       "Battery drain during each sleep in milliwatts", {scale, steps, 10000, "mW", "W"});
    double bottom = g.top + g.height;
    for (int c = 0; c < columns.count; c++) {
        int first, end;
        ColumnRows(columns, c, &first, &end);
        int most = -1;
        for (int i = first; i < end; i++)
            if (rows[i].drainMw >= 0 && (most < 0 || rows[i].drainMw > rows[most].drainMw)) most = i;
        if (most < 0) continue;
        long long drain = rows[most].drainMw < MOST_MW ? rows[most].drainMw : MOST_MW;
        double height = g.height * (double)drain / (double)scale;
        if (height < 1) height = 1;  // a sleep that cost nothing still shows it was measured
        Raw(page, "<rect class=\"bd\"");
        Coord(page, "x", ColumnX(&g, c));
        Coord(page, "y", bottom - height);
        Coord(page, "width", g.width);
        Coord(page, "height", height);
        Raw(page, ">");
        if (columns.buckets) {
            BucketTitle(page, columns, first, end);
            Put(page, ": most, cycle %d: %d mW</title></rect>\n", rows[most].cycle, rows[most].drainMw);
        } else {
            Put(page, "<title>Cycle %d: %d mW</title></rect>\n", rows[most].cycle, rows[most].drainMw);
        }
    }
    HorizontalLine(page, g, bottom, "ax");
    WriteColumnLabels(page, &g, columns);
    Raw(page, "\n</svg>\n<p class=\"key\">Height: the battery's charge lost per hour asleep, in mW, by cycle; "
              "sleeps on mains power have no column.");
    if (columns.buckets) Raw(page, " Each column is the largest drain of its consecutive sleeps.");
    Raw(page, "</p>\n");
}

}  // namespace report
