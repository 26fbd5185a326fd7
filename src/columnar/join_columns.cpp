#include "columnar/join_columns.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "concurrency/worker_pool.hpp"

namespace vintrel::columnar {
namespace {

// Copies are cut into pieces of at most this many bytes, so that every
// thread of the pool gets a share of even a single large column.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// One copy: bytes as they are, or int64 offsets shifted by `shift`.
struct Piece {
    std::byte* to;
    const std::byte* from;
    std::size_t bytes;
    std::int64_t shift;
};

void copy(const Piece& piece) {
    if (piece.shift == 0) {
        std::memcpy(piece.to, piece.from, piece.bytes);
        return;
    }
    auto* to = reinterpret_cast<std::int64_t*>(piece.to);
    const auto* from = reinterpret_cast<const std::int64_t*>(piece.from);
    for (std::size_t i = 0; i < piece.bytes / sizeof(std::int64_t); ++i) to[i] = from[i] + piece.shift;
}

class Plan {
public:
    explicit Plan(std::span<EventColumns> parts) : parts_(parts) {}

    // Values of a plain column, end to end: a part placed for it hands its
    // pages over, the others are copied. Without the room for all of them
    // at once, all are copied.
    template <class T, class Get>
    void values(Column<T>& into, Get get) {
        std::size_t extra = 0;
        for (EventColumns& part : parts_) extra += get(part).size();
        if (!into.reserve_to_join(into.size() + extra)) {
            auto* at = reinterpret_cast<std::byte*>(into.extend(extra).data());
            for (EventColumns& part : parts_) {
                const auto from = std::as_bytes(get(part).values());
                add(at, from, 0);
                at += from.size();
            }
            return;
        }
        for (EventColumns& part : parts_) {
            Column<T>& from = get(part);
            if (from.size() == 0 || into.append_pages(from)) continue;
            // Within the room reserved: the column does not move.
            add(reinterpret_cast<std::byte*>(into.extend(from.size()).data()), std::as_bytes(from.values()), 0);
        }
    }

    // Offsets over a values column: each part's leading 0 is dropped and the
    // rest shifted by the values before the part (`base` in `into`, then
    // `counted(part)` more per part).
    template <class Get, class Count>
    void offsets(Column<std::int64_t>& into, std::int64_t base, Get get, Count counted) {
        std::size_t extra = 0;
        for (EventColumns& part : parts_) extra += get(part).size() - 1;
        auto* at = reinterpret_cast<std::byte*>(into.extend(extra).data());
        for (EventColumns& part : parts_) {
            const auto from = std::as_bytes(get(part).values().subspan(1));
            add(at, from, base);
            at += from.size();
            base += static_cast<std::int64_t>(counted(part));
        }
    }

    // A list column: its offsets (over its own values), then its values.
    template <class T, class Get>
    void list(ListColumn<T>& into, Get get) {
        offsets(into.offsets, static_cast<std::int64_t>(into.values.size()),
                [&](EventColumns& part) -> auto& { return get(part).offsets; },
                [&](EventColumns& part) { return get(part).values.size(); });
        values(into.values, [&](EventColumns& part) -> auto& { return get(part).values; });
    }

    void run() {
        auto task = [&](std::size_t i) { copy(pieces_[i]); };
        concurrency::parallel_for(pieces_.size(), task);
    }

private:
    void add(std::byte* to, std::span<const std::byte> from, std::int64_t shift) {
        for (std::size_t done = 0; done < from.size(); done += kPieceBytes)
            pieces_.push_back({to + done, from.data() + done, std::min(kPieceBytes, from.size() - done), shift});
    }

    std::span<EventColumns> parts_;
    std::vector<Piece> pieces_;
};

}  // namespace

void append_parts(EventColumns& into, std::span<EventColumns> parts) {
    Plan plan(parts);
    // Channel offsets count the data lists before each part: taken before
    // the data column grows.
    plan.offsets(into.channel_offsets, static_cast<std::int64_t>(into.data.lists()),
                 [](EventColumns& part) -> auto& { return part.channel_offsets; },
                 [](EventColumns& part) { return part.data.lists(); });
    plan.values(into.index, [](EventColumns& part) -> auto& { return part.index; });
    plan.list(into.data, [](EventColumns& part) -> auto& { return part.data; });
    plan.list(into.time, [](EventColumns& part) -> auto& { return part.time; });
    plan.list(into.window_labels, [](EventColumns& part) -> auto& { return part.window_labels; });
    if (into.timing) plan.list(*into.timing, [](EventColumns& part) -> auto& { return *part.timing; });
    if (auto& ecc = into.ecc_errors) {
        plan.offsets(ecc->offsets, static_cast<std::int64_t>(ecc->offset.size()),
                     [](EventColumns& part) -> auto& { return part.ecc_errors->offsets; },
                     [](EventColumns& part) { return part.ecc_errors->offset.size(); });
        plan.values(ecc->offset, [](EventColumns& part) -> auto& { return part.ecc_errors->offset; });
        plan.values(ecc->position, [](EventColumns& part) -> auto& { return part.ecc_errors->position; });
        plan.values(ecc->word, [](EventColumns& part) -> auto& { return part.ecc_errors->word; });
        plan.values(ecc->corrected, [](EventColumns& part) -> auto& { return part.ecc_errors->corrected; });
        plan.values(ecc->bit, [](EventColumns& part) -> auto& { return part.ecc_errors->bit; });
    }
    plan.run();

    for (EventColumns& part : parts) {
        into.failures.insert(into.failures.end(), std::make_move_iterator(part.failures.begin()),
                             std::make_move_iterator(part.failures.end()));
        part = EventColumns(std::nullopt);
    }
}

}  // namespace vintrel::columnar
