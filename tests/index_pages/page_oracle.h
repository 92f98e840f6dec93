#pragma once
// A plain rendering of the index pages, pass after pass over the records as the pages were
// first described (one walk of the relation per thread, author or date group, every text
// compared in place), with the rules that make every message appear. The fast renderer
// must produce the same bytes.
#include <string>
#include <vector>

#include "index_pages/page_render.h"

namespace oracle {

using dlarchive::pages::EnvelopeSummary;
using dlarchive::pages::PageContext;

struct Listings {
    std::vector<std::string> authors, dates, threads;
};
Listings SortRecords(const std::vector<EnvelopeSummary>& records, const PageContext& c);
std::string ThreadPage(const PageContext& c, const std::vector<std::string>& threads,
                       const std::vector<EnvelopeSummary>& records);
std::string AuthorPage(const PageContext& c, const std::vector<std::string>& authors,
                       const std::vector<EnvelopeSummary>& records);
std::string DatePage(const PageContext& c, const std::vector<std::string>& dates,
                     const std::vector<EnvelopeSummary>& records);

}  // namespace oracle
