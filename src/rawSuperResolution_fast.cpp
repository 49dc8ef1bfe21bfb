// Threaded projection pipeline (placeholder: the plain pipeline until the fast one lands).
#include "rawSuperResolution_model.h"

void project_views_fast(Projection kind, const cv::Mat& image, const cv::Mat* views,
                        const cv::Mat* masks, const cv::Mat& depth, const Geometry& g,
                        cv::Mat& out, const Output* diag) {
  reference::project_views(kind, image, views, masks, depth, g, out, diag);
}
