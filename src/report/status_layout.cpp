#include "status_layout.h"

#include "layout_render.h"

Layout layOut(const StatusReport& report, const LayoutOptions& options)
{
    Layout out;
    LayoutPlan plan;
    if (planLayout(report, options, out, plan)) {
        out.text = renderLayout(plan, options.form);
        out.outcome = Layout::Laid;
    }
    return out;
}
