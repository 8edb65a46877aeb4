// Stable descending order of scores (merge sort over positions).
#include <algorithm>

#include "ranking/common.hpp"

namespace lvx::ranking {

std::vector<std::uint32_t> order_by_score_desc(const std::vector<double>& scores) {
    struct Item {
        double score;
        std::uint32_t pos;
    };
    const std::size_t n = scores.size();
    std::vector<Item> a(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = Item{scores[i], static_cast<std::uint32_t>(i)};

    // Short runs by insertion: an item moves left only past items it is
    // strictly greater than.
    constexpr std::size_t kRun = 16;
    for (std::size_t lo = 0; lo < n; lo += kRun) {
        const std::size_t hi = std::min(n, lo + kRun);
        for (std::size_t i = lo + 1; i < hi; ++i) {
            const Item v = a[i];
            std::size_t j = i;
            while (j > lo && v.score > a[j - 1].score) {
                a[j] = a[j - 1];
                --j;
            }
            a[j] = v;
        }
    }

    // Bottom-up merges; the left run wins unless the right one is strictly
    // greater.
    if (n > kRun) {
        std::vector<Item> b(n);
        for (std::size_t width = kRun; width < n; width *= 2) {
            for (std::size_t lo = 0; lo < n; lo += 2 * width) {
                const std::size_t mid = std::min(n, lo + width);
                const std::size_t hi = std::min(n, lo + 2 * width);
                std::size_t i = lo;
                std::size_t j = mid;
                std::size_t o = lo;
                while (i < mid && j < hi) b[o++] = a[j].score > a[i].score ? a[j++] : a[i++];
                while (i < mid) b[o++] = a[i++];
                while (j < hi) b[o++] = a[j++];
            }
            a.swap(b);
        }
    }

    std::vector<std::uint32_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i].pos;
    return out;
}

}  // namespace lvx::ranking
