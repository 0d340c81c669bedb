// Random sequences of make, copy, assign, clear, write and free on a few
// CTarnImage3D objects and bare volumes, checked against a plain model.
#include <cstring>

#include "fuzz_input.h"
#include "platform/heap.h"

namespace {

struct Model {
    int width = 0, height = 0, depth = 0;
    std::vector<std::uint8_t> voxels;
    bool empty() const { return voxels.empty(); }
};

bool matches(CTarnImage3D& image, const Model& model) {
    unsigned char*** handle = image;
    if (model.empty()) return handle == nullptr && image.getSize() == 0 && image.getPixels() == nullptr;
    if (handle == nullptr || image.getWidth() != model.width || image.getHeight() != model.height ||
        image.getDepth() != model.depth)
        return false;
    std::int32_t header[3];
    std::memcpy(header, handle[0][0] - 12, sizeof header);
    if (header[0] != model.width || header[1] != model.height || header[2] != model.depth) return false;
    if (handle[model.depth - 1][model.height - 1] + model.width != image.getPixels() + image.getSize())
        return false;
    return std::memcmp(image.getPixels(), model.voxels.data(), model.voxels.size()) == 0;
}

bool valid(int w, int h, int d) { return w >= 1 && h >= 1 && d >= 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    img3d::fuzz::Input in(data, size);
    constexpr int kSlots = 3;
    CTarnImage3D images[kSlots];
    Model models[kSlots];
    for (int step = 0; step < 64 && in.remaining() > 0; ++step) {
        const int op = in.byte() % 9;
        const int a = in.byte() % kSlots, b = in.byte() % kSlots;
        const bool fail = in.byte() < 16;  // now and then the allocation fails
        switch (op) {
            case 0: {
                const int w = in.range(-1, 9), h = in.range(-1, 9), d = in.range(-1, 9);
                if (fail) img3d::detail::heap_fail_at(1);
                const int made = images[a].makeImage(w, h, d);
                img3d::detail::heap_fail_at(0);
                const bool ok = valid(w, h, d) && !fail;
                FUZZ_CHECK(made == (ok ? 1 : 0));
                models[a] = ok ? Model{w, h, d, std::vector<std::uint8_t>(std::size_t(w) * h * d, 0)} : Model{};
                break;
            }
            case 1:
                if (fail) img3d::detail::heap_fail_at(1);
                images[a] = images[b];
                img3d::detail::heap_fail_at(0);
                if (a != b) models[a] = (fail || models[b].empty()) ? Model{} : models[b];
                break;
            case 2: {
                if (fail) img3d::detail::heap_fail_at(1);
                CTarnImage3D copy(images[b]);
                img3d::detail::heap_fail_at(0);
                FUZZ_CHECK(matches(copy, fail ? Model{} : models[b]));
                images[a] = copy;
                models[a] = fail ? Model{} : models[b];
                break;
            }
            case 3: {
                const int value = in.integer();
                images[a].clearImage(value);
                for (auto& v : models[a].voxels) v = static_cast<std::uint8_t>(value);
                break;
            }
            case 4:
                images[a].destroyImage();
                models[a] = Model{};
                break;
            case 5: {
                if (models[a].empty()) break;
                const Model& m = models[a];
                const int x = in.range(0, m.width - 1), y = in.range(0, m.height - 1), z = in.range(0, m.depth - 1);
                const std::uint8_t value = in.byte();
                static_cast<unsigned char***>(images[a])[z][y][x] = value;
                models[a].voxels[(std::size_t(z) * m.height + y) * m.width + x] = value;
                break;
            }
            case 6:
                if (models[a].empty()) break;
                Img3DReverse(images[a], images[a]);
                for (auto& v : models[a].voxels) v = static_cast<std::uint8_t>(255 - v);
                break;
            case 7:
                if (models[a].empty() || models[b].empty() || models[b].voxels.size() < models[a].voxels.size())
                    break;
                Img3DCopy(images[a], images[b]);
                std::copy(models[a].voxels.begin(), models[a].voxels.end(), models[b].voxels.begin());
                break;
            case 8: {
                const int w = in.integer(), h = in.integer(), d = in.range(-2, 4);
                unsigned char*** v = Image3DAlloc(w, h, d);
                const double n = static_cast<double>(w) * h * d;
                if (v != nullptr) {
                    FUZZ_CHECK(valid(w, h, d) && n <= 2147483647.0);
                    FUZZ_CHECK(Image3DGetWidth(v) == w && Image3DGetHeight(v) == h && Image3DGetDepth(v) == d);
                    v[d - 1][h - 1][w - 1] = 1;
                } else {
                    // Refused only when invalid or too large to allocate.
                    FUZZ_CHECK(!valid(w, h, d) || n > 1e6);
                }
                Image3DFree(v);
                break;
            }
        }
        for (int s = 0; s < kSlots; ++s) FUZZ_CHECK(matches(images[s], models[s]));
    }
    return 0;
}
