// ITK's side of bench/compare: times ITK's filters, single-threaded, on the
// same raw volumes as the img3d host and writes their outputs.
//
//   compare_itk OP IN.raw WIDTH HEIGHT DEPTH [--param N] [--out FILE]
//               [--min-runs N] [--max-runs N] [--min-seconds S]
//
// OP: label (ConnectedComponentImageFilter; param 6 or none: face
// connectivity, 26: fully connected), delvolume (face connectivity plus
// RelabelComponentImageFilter with a minimum object size),
// dilate (BinaryDilateImageFilter, param 1 = cross, 2 = 3x3x3 box), otsu
// (OtsuThresholdImageFilter, 256 bins), segment (BinaryThresholdImageFilter,
// param = lowest value set) and smooth (BinaryMedianImageFilter: a box
// majority of radius param).  Times are CPU time of the process; one JSON
// object goes to stdout.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "itkBinaryDilateImageFilter.h"
#include "itkBinaryMedianImageFilter.h"
#include "itkBinaryThresholdImageFilter.h"
#include "itkConnectedComponentImageFilter.h"
#include "itkFlatStructuringElement.h"
#include "itkImage.h"
#include "itkMultiThreaderBase.h"
#include "itkOtsuThresholdImageFilter.h"
#include "itkRelabelComponentImageFilter.h"

namespace {

using Grey = itk::Image<unsigned char, 3>;
using Labels = itk::Image<unsigned int, 3>;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "compare_itk: %s\n", message.c_str());
    std::exit(2);
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// A new filter on input, set up by set and brought up to date: each run
// builds its pipeline anew, so every Update() does the work.
template <class Filter, class Input, class Set>
typename Filter::Pointer updated(const Input& input, Set set) {
    typename Filter::Pointer filter = Filter::New();
    filter->SetInput(input);
    set(*filter);
    filter->Update();
    return filter;
}

// The binary filters' values, as in every input: objects 255 on 0.
template <class Filter>
void objects_255_on_0(Filter& filter) {
    filter.SetForegroundValue(255);
    filter.SetBackgroundValue(0);
}

template <typename Image>
void write_raw(const std::string& path, const Image* image, std::size_t voxels) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const std::size_t size = voxels * sizeof(typename Image::PixelType);
    if (!f || std::fwrite(image->GetBufferPointer(), 1, size, f) != size || std::fclose(f) != 0)
        fail("cannot write " + path);
}

// A 255-on-0 mask of the labels above 0.
void write_mask(const std::string& path, const Labels* labels, std::size_t voxels) {
    std::vector<unsigned char> mask(voxels);
    const unsigned int* l = labels->GetBufferPointer();
    for (std::size_t i = 0; i < voxels; ++i) mask[i] = l[i] ? 255 : 0;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(mask.data(), 1, voxels, f) != voxels || std::fclose(f) != 0) fail("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: compare_itk OP IN.raw WIDTH HEIGHT DEPTH [--param N] [--out FILE] ...\n");
        return 2;
    }
    itk::MultiThreaderBase::SetGlobalMaximumNumberOfThreads(1);
    itk::MultiThreaderBase::SetGlobalDefaultNumberOfThreads(1);

    const std::string op = args[0];
    const int width = std::atoi(args[2].c_str()), height = std::atoi(args[3].c_str()),
              depth = std::atoi(args[4].c_str());
    int param = 0, min_runs = 5, max_runs = 30;
    double min_seconds = 1.0;
    std::string out;
    for (std::size_t i = 5; i + 1 < args.size(); i += 2) {
        if (args[i] == "--param") param = std::atoi(args[i + 1].c_str());
        else if (args[i] == "--out") out = args[i + 1];
        else if (args[i] == "--min-runs") min_runs = std::max(1, std::atoi(args[i + 1].c_str()));
        else if (args[i] == "--max-runs") max_runs = std::max(1, std::atoi(args[i + 1].c_str()));
        else if (args[i] == "--min-seconds") min_seconds = std::atof(args[i + 1].c_str());
        else fail("unknown option " + args[i]);
    }
    max_runs = std::max(max_runs, min_runs);
    if (width < 1 || height < 1 || depth < 1) fail("bad dimensions");

    const std::size_t voxels = static_cast<std::size_t>(width) * height * depth;
    Grey::Pointer input = Grey::New();
    Grey::RegionType region;
    region.SetSize({{static_cast<itk::SizeValueType>(width), static_cast<itk::SizeValueType>(height),
                     static_cast<itk::SizeValueType>(depth)}});
    input->SetRegions(region);
    input->Allocate();
    {
        std::FILE* f = std::fopen(args[1].c_str(), "rb");
        if (!f || std::fread(input->GetBufferPointer(), 1, voxels, f) != voxels) fail("cannot read " + args[1]);
        std::fclose(f);
    }

    // Each run builds its pipeline anew, so every Update() does the work.
    // What the runs leave lives here, beyond the branches that set them up.
    std::function<void()> run;
    std::function<std::string()> finish;
    Labels::Pointer labels;
    Grey::Pointer result;
    unsigned long objects = 0;
    double threshold = 0;
    using Element = itk::FlatStructuringElement<3>;
    Element element;
    const auto write_result = [&] {
        if (!out.empty()) write_raw(out, result.GetPointer(), voxels);
        return std::string();
    };
    if (op == "label" || op == "delvolume") {
        if (op == "label" && param != 0 && param != 6 && param != 26) fail("label: connectivity 6 or 26 only");
        using Connected = itk::ConnectedComponentImageFilter<Grey, Labels>;
        using Relabel = itk::RelabelComponentImageFilter<Labels, Labels>;
        run = [&, op, param] {
            Connected::Pointer connected = Connected::New();
            connected->SetInput(input);
            connected->SetFullyConnected(op == "label" && param == 26);
            if (op == "label") {
                connected->Update();
                objects = connected->GetObjectCount();
                labels = connected->GetOutput();
                return;
            }
            Relabel::Pointer relabel = Relabel::New();
            relabel->SetInput(connected->GetOutput());
            relabel->SetMinimumObjectSize(static_cast<Relabel::ObjectSizeType>(param));
            relabel->Update();
            objects = relabel->GetNumberOfObjects();
            labels = relabel->GetOutput();
        };
        finish = [&, op] {
            if (!out.empty()) {
                if (op == "label") write_raw(out, labels.GetPointer(), voxels);
                else write_mask(out, labels.GetPointer(), voxels);
            }
            return ", \"objects\": " + std::to_string(objects);
        };
    } else if (op == "dilate") {
        Element::RadiusType radius;
        radius.Fill(1);
        element = param == 1 ? Element::Cross(radius) : Element::Box(radius);
        using Dilate = itk::BinaryDilateImageFilter<Grey, Grey, Element>;
        run = [&] {
            result = updated<Dilate>(input, [&](Dilate& dilate) {
                         dilate.SetKernel(element);
                         objects_255_on_0(dilate);
                     })->GetOutput();
        };
        finish = write_result;
    } else if (op == "otsu") {
        using Otsu = itk::OtsuThresholdImageFilter<Grey, Grey>;
        run = [&] {
            threshold = updated<Otsu>(input, [](Otsu& otsu) { otsu.SetNumberOfHistogramBins(256); })->GetThreshold();
        };
        finish = [&] { return ", \"threshold\": " + std::to_string(threshold); };
    } else if (op == "segment") {
        using Threshold = itk::BinaryThresholdImageFilter<Grey, Grey>;
        run = [&] {
            result = updated<Threshold>(input, [&](Threshold& segment) {
                         segment.SetLowerThreshold(static_cast<unsigned char>(std::clamp(param, 0, 255)));
                         segment.SetUpperThreshold(255);
                         segment.SetInsideValue(255);
                         segment.SetOutsideValue(0);
                     })->GetOutput();
        };
        finish = write_result;
    } else if (op == "smooth") {
        using Median = itk::BinaryMedianImageFilter<Grey, Grey>;
        run = [&] {
            result = updated<Median>(input, [&](Median& median) {
                         Grey::SizeType radius;
                         radius.Fill(static_cast<itk::SizeValueType>(param));
                         median.SetRadius(radius);
                         objects_255_on_0(median);
                     })->GetOutput();
        };
        finish = write_result;
    } else {
        fail("unknown operation " + op);
    }

    try {
        run();  // warm-up, and the output
        const std::string fields = finish();
        std::vector<double> times;
        double spent = 0;
        while (static_cast<int>(times.size()) < max_runs &&
               (static_cast<int>(times.size()) < min_runs || spent < min_seconds)) {
            const double t0 = cpu_seconds();
            run();
            const double t1 = cpu_seconds();
            times.push_back(1e3 * (t1 - t0));
            spent += t1 - t0;
        }
        std::printf("{\"op\": \"%s\", \"available\": true, \"runs\": %zu, \"median_ms\": %.4f, \"min_ms\": %.4f, "
                    "\"threads\": %d, \"itk\": \"%s\"%s}\n",
                    op.c_str(), times.size(), median(times), *std::min_element(times.begin(), times.end()),
                    static_cast<int>(itk::MultiThreaderBase::GetGlobalDefaultNumberOfThreads()),
                    ITK_VERSION_STRING, fields.c_str());
    } catch (const itk::ExceptionObject& e) {
        fail(e.what());
    }
    return 0;
}
