#include "hostsim/sim/output/columns.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace dvx::sim {

namespace {

// The set "[...]" at pattern[p] (p at '['): whether c is in it, and where
// the pattern goes on. An unclosed '[' is a plain character.
bool InSet(std::string_view pattern, size_t& p, char c, bool* closed) {
    size_t q = p + 1;
    const bool negate = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
    if (negate) ++q;
    bool found = false;
    bool first = true;
    for (; q < pattern.size() && (first || pattern[q] != ']'); first = false) {
        char lo = pattern[q];
        if (lo == '\\' && q + 1 < pattern.size()) lo = pattern[++q];
        char hi = lo;
        if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
            hi = pattern[q + 2];
            q += 2;
        }
        found = found || (lo <= c && c <= hi);
        ++q;
    }
    *closed = q < pattern.size();
    if (*closed) p = q + 1;
    return found != negate;
}

bool Match(std::string_view pattern, size_t p, std::string_view name, size_t n) {
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (c == '*') {
            while (p < pattern.size() && pattern[p] == '*') ++p;
            if (p == pattern.size()) return true;
            for (size_t k = n; k <= name.size(); ++k)
                if (Match(pattern, p, name, k)) return true;
            return false;
        }
        if (n == name.size()) return false;
        if (c == '?') {
            ++p;
        } else if (c == '[') {
            bool closed = false;
            size_t q = p;
            const bool in = InSet(pattern, q, name[n], &closed);
            if (closed) {
                if (!in) return false;
                p = q;
            } else {
                if (name[n] != '[') return false;
                ++p;
            }
        } else {
            char literal = c;
            if (c == '\\' && p + 1 < pattern.size()) literal = pattern[++p];
            if (name[n] != literal) return false;
            ++p;
        }
        ++n;
    }
    return n == name.size();
}

struct Available {
    std::string name;
    bool instance;
    size_t owner; // model index of the instance or element
    size_t output; // index among the owner's outputs
};

} // namespace

bool MatchesPattern(std::string_view pattern, std::string_view name) { return Match(pattern, 0, name, 0); }

int TimeDigits(const Settings& s) {
    const double largest = std::max(std::abs(s.start), std::abs(s.stop));
    if (!(largest > 0.0) || !(s.outputInterval > 0.0)) return 12;
    // Three digits more than the interval's place within the largest time.
    const double needed = std::ceil(std::log10(largest / s.outputInterval)) + 3.0;
    return static_cast<int>(std::clamp(needed, 12.0, 17.0));
}

ColumnChoice ChooseColumns(const Model& model, const std::vector<std::string>& instanceOutputs,
                           const std::vector<std::string>& patterns) {
    std::vector<Available> all;
    std::vector<std::vector<std::string>> elementOutputs(model.elements.size());
    for (size_t i = 0; i < model.instances.size(); ++i)
        for (size_t o = 0; o < instanceOutputs.size(); ++o)
            all.push_back({model.instances[i].name + "." + instanceOutputs[o], true, i, o});
    for (size_t e = 0; e < model.elements.size(); ++e) {
        model.elements[e].unit->OutputNames(elementOutputs[e]);
        if (model.elements[e].name.empty()) continue;
        for (size_t o = 0; o < elementOutputs[e].size(); ++o)
            all.push_back({model.elements[e].name + "." + elementOutputs[e][o], false, e, o});
    }

    std::vector<bool> chosen(all.size(), false);
    if (patterns.empty()) {
        for (size_t k = 0; k < all.size(); ++k) {
            if (!all[k].instance) continue;
            bool shown = model.record.empty();
            for (const std::string& r : model.record) shown = shown || r == model.instances[all[k].owner].name;
            chosen[k] = shown;
        }
    } else {
        for (const std::string& pattern : patterns) {
            bool any = MatchesPattern(pattern, "time");
            for (size_t k = 0; k < all.size(); ++k)
                if (MatchesPattern(pattern, all[k].name)) chosen[k] = any = true;
            if (any) continue;
            std::string known;
            constexpr size_t kListed = 30;
            for (size_t k = 0; k < all.size() && k < kListed; ++k) known += (k ? ", " : "") + all[k].name;
            if (all.size() > kListed) known += ", ... (" + std::to_string(all.size()) + " in all)";
            throw SimError("--output " + pattern + ": matches no column; the columns are time" +
                           (known.empty() ? std::string() : ", " + known) +
                           " (element outputs need the element's \"name\")");
        }
    }

    ColumnChoice choice;
    choice.columns.push_back("time");
    std::vector<bool> instanceShown(model.instances.size(), false), elementShown(model.elements.size(), false);
    for (size_t k = 0; k < all.size(); ++k)
        if (chosen[k]) (all[k].instance ? instanceShown : elementShown)[all[k].owner] = true;
    // Where each recorded owner's outputs start in the observed outputs.
    std::vector<size_t> instanceStart(model.instances.size()), elementStart(model.elements.size());
    size_t at = 0;
    for (size_t i = 0; i < model.instances.size(); ++i)
        if (instanceShown[i]) {
            choice.instances.push_back(i);
            instanceStart[i] = at;
            at += instanceOutputs.size();
        }
    for (size_t e = 0; e < model.elements.size(); ++e)
        if (elementShown[e]) {
            choice.elements.push_back(e);
            elementStart[e] = at;
            at += elementOutputs[e].size();
        }
    std::set<std::string> names{"time"};
    for (size_t k = 0; k < all.size(); ++k) {
        if (!chosen[k]) continue;
        const Available& a = all[k];
        if (!names.insert(a.name).second)
            throw SimError("two columns would be named " + a.name +
                           ": an instance and an element share a name; rename one of them");
        choice.columns.push_back(a.name);
        choice.picks.push_back((a.instance ? instanceStart : elementStart)[a.owner] + a.output);
    }
    return choice;
}

} // namespace dvx::sim
