// The argument grammar without CLI11: what each command's arguments become,
// and that a bad one is refused naming itself.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "errors.h"
#include "grammar.h"

namespace img3d_tool {
namespace {

Arguments segment_with(GivenOptions given) {
    Arguments a;
    a.command = "segment";
    a.given = {{"input", "in.nii.gz"}};
    a.given.insert(a.given.end(), given.begin(), given.end());
    return a;
}

TEST(Grammar, PresetsAndGivenOptionsMakeTheRequest) {
    const SegmentOptions plain = segment_request(segment_with({})).options.segment;
    EXPECT_EQ(plain.method, SegmentOptions::Method::otsu);
    EXPECT_EQ(plain.min_volume, 1);
    EXPECT_EQ(plain.max_volume, INT_MAX);
    EXPECT_EQ(plain.smooth, 0);
    const SegmentOptions demo = parse_options({}, Preset::demo).segment;
    EXPECT_EQ(demo.min_volume, 50);
    EXPECT_EQ(demo.smooth, 1);

    const SegmentRequest r = segment_request(segment_with({{"band", "-5.5:1e3"},
                                                           {"window", "-100:50"},
                                                           {"min-volume", "7"},
                                                           {"smooth", "101"},
                                                           {"dilate", "26"},
                                                           {"output", "o.nii"}}));
    const SegmentOptions& o = r.options.segment;
    EXPECT_EQ(o.method, SegmentOptions::Method::band);
    EXPECT_EQ(o.band_low, -5.5);
    EXPECT_EQ(o.band_high, 1000);
    EXPECT_TRUE(o.has_window);
    EXPECT_EQ(o.window[0], -100);
    EXPECT_EQ(o.min_volume, 7);
    EXPECT_EQ(o.smooth, 101);
    EXPECT_EQ(o.dilate.element, 26);
    EXPECT_EQ(o.dilate.iterations, 1);
    EXPECT_EQ(r.output, "o.nii");
    EXPECT_EQ(parse_options({{"threshold", "12.5"}}, Preset::segment).segment.level, 12.5);

    // The finishing steps: ExN forms, connectivity, largest, hole filling.
    const SegmentOptions f = parse_options({{"open", "18"},
                                            {"close", "26x2"},
                                            {"erode", "6x10"},
                                            {"connectivity", "26"},
                                            {"largest", "3"},
                                            {"fill-holes", ""}},
                                           Preset::segment)
                                 .segment;
    EXPECT_EQ(f.open.element * 100 + f.open.iterations, 1801);
    EXPECT_EQ(f.close.element * 100 + f.close.iterations, 2602);
    EXPECT_EQ(f.erode.element * 100 + f.erode.iterations, 610);
    EXPECT_EQ(f.dilate.element, 0);
    EXPECT_EQ(f.connectivity, 26);
    EXPECT_EQ(f.largest, 3);
    EXPECT_TRUE(f.fill_holes);
    EXPECT_EQ(plain.connectivity, 6);
    EXPECT_FALSE(plain.fill_holes);
    const ReadOptions raw = parse_options({{"raw", "4x5x6"}, {"spacing", "1,2,0.5"}}, Preset::segment).read;
    EXPECT_EQ(raw.raw_depth, 6);
    EXPECT_EQ(raw.raw_spacing[2], 0.5f);
}

TEST(Grammar, BadArgumentsAreRefusedNamingThemselves) {
    const GivenOptions bad[] = {
        {{"threshold", "high"}}, {{"band", "9:3"}},
        {{"window", "5:5"}},     {{"smooth", "102"}},
        {{"smooth", "1.5"}},     {{"min-volume", "-1"}},
        {{"dilate", "12"}},      {{"close", "26x0"}},
        {{"open", "26x"}},       {{"erode", "x2"}},
        {{"dilate", "6x+2"}},    {{"open", "6x1.5"}},
        {{"close", "6x2x2"}},    {{"connectivity", "8"}},
        {{"largest", "0"}},      {{"fill-holes", "yes"}},
        {{"raw", "0x3x3"}},      {{"spacing", "1,1,1"}},
        {{"rescale", "yes"}},    {{"band", "1:2"}, {"threshold", "otsu"}},
    };
    for (const GivenOptions& given : bad) {
        try {
            parse_options(given, Preset::segment);
            ADD_FAILURE() << given.front().first << " " << given.front().second << " accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("--" + given.front().first), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(parse_options({{"min-volume", "9"}, {"max-volume", "8"}}, Preset::segment), InputError);

    Arguments both = segment_with({{"json", ""}, {"quiet", ""}});
    EXPECT_THROW(check_exclusions(both), InputError);
    Arguments objects;
    objects.command = "objects";
    objects.given = {{"input", "x"}, {"limit", "-1"}};
    EXPECT_THROW(objects_request(objects), InputError);
    objects.given = {{"input", "x"}, {"connectivity", "4"}};
    EXPECT_THROW(objects_request(objects), InputError);
    objects.given = {{"input", "x"}, {"value", "1605"},      {"order", "raster"},
                     {"csv", ""},    {"connectivity", "18"}, {"grey", "g.nii"}};
    const ObjectsRequest o = objects_request(objects);
    EXPECT_EQ(o.connectivity, 18);
    EXPECT_EQ(o.grey, "g.nii");
    EXPECT_EQ(o.value, 1605);
    EXPECT_TRUE(o.raster_order);
    EXPECT_EQ(o.format, ObjectsRequest::Format::csv);
}

// Every option of the chain is an argument of segment, so one added to the
// table reaches the tool without more code.
TEST(Grammar, SegmentTakesEveryChainOption) {
    for (const ChainOption& option : chain_options()) {
        bool found = false;
        for (const ArgumentRule& a : command_rules().front().arguments) found = found || a.key == option.name;
        EXPECT_TRUE(found) << option.name;
    }
}

}  // namespace
}  // namespace img3d_tool
