// The CBLAS and OpenBLAS entry points under the names of the library the
// module was built against: the OpenBLAS of scipy-openblas32 prefixes every
// symbol with scipy_ (the build defines BLAS_SYMBOL_PREFIX), a system OpenBLAS
// does not. Everything else sees one spelling, VANTREL_BLAS(cblas_sgemm).
#pragma once

#include <cblas.h>

#ifdef BLAS_SYMBOL_PREFIX
#define VANTREL_BLAS_JOIN_(prefix, name) prefix##name
#define VANTREL_BLAS_JOIN(prefix, name) VANTREL_BLAS_JOIN_(prefix, name)
#define VANTREL_BLAS(name) VANTREL_BLAS_JOIN(BLAS_SYMBOL_PREFIX, name)
#else
#define VANTREL_BLAS(name) name
#endif
