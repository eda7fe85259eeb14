#include "status_layout.h"

#include "layout_render.h"

Layout layOut(const StatusReport& report, const LayoutOptions& options, const Domain* domain)
{
    Layout out;
    LayoutPlan plan;
    // A fragment cannot know the indexes of the domain it goes into.
    if (options.form == LayoutOptions::Libvirt && !domain)
        out.notes.push_back("Note: controller indexes start at " +
                            std::to_string(options.firstIndex) +
                            " (--first-index): give the domain's highest index plus one, or "
                            "merge into the domain with --domain");
    if (planLayout(report, options, out, plan)) {
        out.text = renderLayout(plan, options.form);
        if (domain)
            out.text = domain->merge(out.text, out.notes);
        out.outcome = Layout::Laid;
    }
    return out;
}
