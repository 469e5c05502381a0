// The list of label stocks and their sizes in points.
#include "label_stocks.h"

#include <cstdio>

namespace {

const LabelStock kStocks[] = {
    {1, 0.5, false},     {1, 1, false},     {1.25, 1, false},   {1.5, 0.5, false},
    {1.5, 1, false},     {1.5, 1.5, false}, {2, 0.5, false},    {2, 0.75, false},
    {2, 1, false},       {2, 1.25, false},  {2, 1.5, false},    {2, 2, false},
    {2, 3, false},       {2, 4, false},     {2.25, 0.5, false}, {2.25, 0.75, false},
    {2.25, 1.25, false}, {2.25, 2, false},  {2.25, 4, false},   {2.5, 1, false},
    {2.5, 2, false},     {3, 1, false},     {3, 2, false},      {3, 3, false},
    {3, 4, false},       {3, 5, false},     {3.5, 1, false},    {3.5, 1.125, false},
    {4, 1, false},       {4, 1.5, false},   {4, 2, false},      {4, 2.5, false},
    {4, 3, false},       {4, 4, false},     {4, 5, false},      {4, 6, false},
    {4, 6.5, false},     {4, 8, false},     {100, 150, true},   {100, 100, true},
    {100, 70, true},     {100, 50, true},   {100, 200, true},   {103, 199, true},
    {80, 50, true},      {70, 50, true},    {62, 29, true},     {62, 100, true},
    {60, 40, true},      {57, 32, true},    {50, 30, true},     {50, 25, true},
    {40, 30, true},      {38, 25, true},    {29, 90, true},
};
constexpr size_t kDefaultStock = 35;  // 4 x 6 in

}  // namespace

const LabelStock* labelStocks(size_t& count) {
  count = sizeof kStocks / sizeof kStocks[0];
  return kStocks;
}

const LabelStock& defaultLabelStock() { return kStocks[kDefaultStock]; }

double stockWidthPoints(const LabelStock& stock) {
  return stock.width * (stock.metric ? kPointsPerMm : kPointsPerInch);
}

double stockLengthPoints(const LabelStock& stock) {
  return stock.length * (stock.metric ? kPointsPerMm : kPointsPerInch);
}

std::string formatSize(double value) {
  char text[48];
  snprintf(text, sizeof text, "%.2f", value);
  std::string s = text;
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s;
}
