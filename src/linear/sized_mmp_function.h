#pragma once
// Block operators built from vector operators: each column of a block goes
// through the vector operator in turn. The block LSRN methods use this to
// apply host callbacks to sketch blocks.

#include <utility>

#include "linear/iteration_control.h"
#include "linear/sized_operator.h"

// Y = op applied to each column of X, Y having outRows rows and X's column
// count. The stop request is tested before every column: the columns after a
// request stay zero (a null control never stops). Raises std::length_error
// when op returns fewer than outRows values.
MatrixTemplate<double> applyColumnwise(const VectorOperator& op, std::size_t outRows,
                                       const MatrixTemplate<double>& X,
                                       const IterationControl* control);

// The column product as a callable: A X with outRows = m, or A^T X with the
// transpose operator and outRows = n. Holds a reference to op.
struct ColumnProduct {
  const VectorOperator& op;
  long outRows;
  const IterationControl* control;  // may be null: never stop

  MatrixTemplate<double> operator()(const MatrixTemplate<double>& X) const;
};

// A paired block operator from two callables taking and returning a block:
// the product and the transposed product. The callables are held by value.
template <class Product, class TransposedProduct>
class SizedMMPFunction : public SizedMMPOperator {
 public:
  Product product;
  TransposedProduct transposedProduct;

  SizedMMPFunction(OptionMap options_, Product product_, TransposedProduct transposedProduct_)
      : SizedMMPOperator(std::move(options_)),
        product(std::move(product_)),
        transposedProduct(std::move(transposedProduct_)) {}

  MatrixTemplate<double> matvecprod(const MatrixTemplate<double>& X) const override {
    return product(X);
  }
  MatrixTemplate<double> matTvecprod(const MatrixTemplate<double>& X) const override {
    return transposedProduct(X);
  }
};
