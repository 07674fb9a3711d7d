#include "AEGP_SuiteHandler.h"

namespace {

using SuiteRow = AEGP_SuiteHandler::SuiteRow;

/* Every suite a handler can hand out, in release order. Rows 30 and 31 name
 * the same suite and version on purpose: they are two independent slots. */
constexpr SuiteRow kSuiteTable[] = {
    {"AEGP Marker Suite", 1},                       /*   1 */
    {"AEGP Marker Suite", 2},                       /*   2 */
    {"AEGP Layer Suite", 8},                        /*   3 */
    {"AEGP Layer Suite", 10},                       /*   4 */
    {"AEGP Stream Suite", 9},                       /*   5 */
    {"AEGP Stream Suite", 8},                       /*   6 */
    {"AEGP Stream Suite", 7},                       /*   7 */
    {"AEGP Stream Suite", 4},                       /*   8 */
    {"AEGP Dynamic Stream Suite", 2},               /*   9 */
    {"AEGP Dynamic Stream Suite", 3},               /*  10 */
    {"AEGP Dynamic Stream Suite", 5},               /*  11 */
    {"AEGP Keyframe Suite", 4},                     /*  12 */
    {"AEGP Keyframe Suite", 3},                     /*  13 */
    {"AEGP Keyframe Suite", 1},                     /*  14 */
    {"AEGP Comp Suite", 9},                         /*  15 */
    {"AEGP Comp Suite", 11},                        /*  16 */
    {"AEGP Comp Suite", 14},                        /*  17 */
    {"AEGP Canvas Suite", 10},                      /*  18 */
    {"AEGP Canvas Suite", 11},                      /*  19 */
    {"AEGP Camera Suite", 2},                       /*  20 */
    {"AEGP Register Suite", 6},                     /*  21 */
    {"AEGP Item Suite", 13},                        /*  22 */
    {"AEGP Item Suite", 11},                        /*  23 */
    {"AEGP Item Suite", 10},                        /*  24 */
    {"AEGP Item Suite", 7},                         /*  25 */
    {"AEGP Item Suite", 3},                         /*  26 */
    {"AEGP PF Interface Suite", 1},                 /*  27 */
    {"PF Path Query Suite", 1},                     /*  28 */
    {"AEGP Memory Suite", 1},                       /*  29 */
    {"PF Path Data Suite", 1},                      /*  30 */
    {"PF Path Data Suite", 1},                      /*  31 */
    {"PF AE App Suite", 6},                         /*  32 */
    {"PF AE Adv App Suite", 2},                     /*  33 */
    {"AEGP Light Suite", 1},                        /*  34 */
    {"AEGP Light Suite", 2},                        /*  35 */
    {"AEGP Effect Suite", 1},                       /*  36 */
    {"AEGP Effect Suite", 2},                       /*  37 */
    {"AEGP Effect Suite", 3},                       /*  38 */
    {"AEGP Layer Mask Suite", 5},                   /*  39 */
    {"AEGP Mask Outline Suite", 3},                 /*  40 */
    {"AEGP Command Suite", 1},                      /*  41 */
    {"AEGP Utility Suite", 7},                      /*  42 */
    {"AEGP Render Suite", 1},                       /*  43 */
    {"AEGP Render Suite", 2},                       /*  44 */
    {"PF ANSI Suite", 1},                           /*  45 */
    {"PF Handle Suite", 2},                         /*  46 */
    {"PF Fill Matte Suite", 2},                     /*  47 */
    {"PF World Transform Suite", 1},                /*  48 */
    {"AEGP QueryXform Suite", 4},                   /*  49 */
    {"AEGP Composite Suite", 4},                    /*  50 */
    {"PF World Suite", 1},                          /*  51 */
    {"AEGP IO In Suite", 5},                        /*  52 */
    {"AEGP IO Out Suite", 7},                       /*  53 */
    {"AEGP Render Queue Suite", 1},                 /*  54 */
    {"AEGP Render Queue Item Suite", 3},            /*  55 */
    {"AEGP Output Module Suite", 4},                /*  56 */
    {"AEGP File Import Manager Suite", 3},          /*  57 */
    {"PF Sampling8 Suite", 1},                      /*  58 */
    {"PF Sampling16 Suite", 1},                     /*  59 */
    {"PF Iterate8 Suite", 1},                       /*  60 */
    {"PF iterate16 Suite", 1},                      /*  61 */
    {"PF iterateFloat Suite", 1},                   /*  62 */
    {"AEGP Collection Suite", 2},                   /*  63 */
    {"AEGP Text Document Suite", 1},                /*  64 */
    {"AEGP Sound Data Suite", 1},                   /*  65 */
    {"AEGP Text Layer Suite", 1},                   /*  66 */
    {"AEGP Artisan Util Suite", 1},                 /*  67 */
    {"AEGP World Suite", 2},                        /*  68 */
    {"AEGP World Suite", 3},                        /*  69 */
    {"AEGP Render Options Suite", 1},               /*  70 */
    {"AEGP Tracker Suite", 1},                      /*  71 */
    {"AEGP Tracker Utility Suite", 1},              /*  72 */
    {"AE Plugin Helper Suite2", 2},                 /*  73 */
    {"AEGP Layer Suite", 11},                       /*  74 */
    {"AEGP Layer Suite", 12},                       /*  75 */
    {"AEGP Layer Suite", 13},                       /*  76 */
    {"PF AE Adv Item Suite", 1},                    /*  77 */
    {"AEGP Layer Suite", 5},                        /*  78 */
    {"AEGP Layer Mask Suite", 2},                   /*  79 */
    {"AEGP Comp Suite", 4},                         /*  80 */
    {"AEGP Collection Suite", 1},                   /*  81 */
    {"AEGP Mask Outline Suite", 2},                 /*  82 */
    {"PF AE Adv App Suite", 1},                     /*  83 */
    {"AEGP Utility Suite", 3},                      /*  84 */
    {"AEGP Render Options Suite", 2},               /*  85 */
    {"AEGP Proj Suite", 8},                         /*  86 */
    {"AEGP Footage Suite", 11},                     /*  87 */
    {"AEGP Render Queue Item Suite", 4},            /*  88 */
    {"AEGP Utility Suite", 10},                     /*  89 */
    {"AEGP Persistent Data Suite", 3},              /*  90 */
    {"PF Color Settings Suite", 3},                 /*  91 */
    {"PF Color Settings Suite", 1},                 /*  92 */
    {"PF ColorParamSuite", 1},                      /*  93 */
    {"PF SamplingFloat Suite", 1},                  /*  94 */
    {"AEGP Utility Suite", 11},                     /*  95 */
    {"PF Effect Custom UI Suite", 1},               /*  96 */
    {"PF Effect Custom UI Overlay Theme Suite", 1}, /*  97 */
    {"DRAWBOT Draw Suite", 1},                      /*  98 */
    {"DRAWBOT Supplier Suite", 1},                  /*  99 */
    {"DRAWBOT Surface Suite", 1},                   /* 100 */
    {"DRAWBOT Path Suite", 1},                      /* 101 */
};

static_assert(sizeof kSuiteTable / sizeof kSuiteTable[0] == AEGP_SuiteHandler::kSuiteCount, "one slot per table row");

constexpr bool SameText(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr bool RowIs(int row, const char *name, A_long version) {
    return SameText(kSuiteTable[row - 1].name, name) && kSuiteTable[row - 1].version == version;
}

/* The typed accessors depend on these rows; keep them from drifting. */
static_assert(RowIs(AEGP_SuiteHandler::kUtilitySuiteV7Row, "AEGP Utility Suite", 7), "row 42");
static_assert(RowIs(AEGP_SuiteHandler::kHandleSuiteV2Row, "PF Handle Suite", 2), "row 46");
static_assert(RowIs(AEGP_SuiteHandler::kIterate8SuiteV1Row, "PF Iterate8 Suite", 1), "row 60");

/* The host's function tables are read through these pointers, never written;
 * the non-const type is what callers of the accessors expect. */
template <typename SuiteT>
SuiteT *AsSuite(const void *suite) {
    return static_cast<SuiteT *>(const_cast<void *>(suite));
}

}  // namespace

const AEGP_SuiteHandler::SuiteRow *AEGP_SuiteHandler::TableRow(int row) {
    if (row < 1 || row > kSuiteCount) {
        return nullptr;
    }
    return &kSuiteTable[row - 1];
}

AEGP_SuiteHandler::AEGP_SuiteHandler(const SPBasicSuite *pica_basicP) : basic_suite_(pica_basicP) {
    for (const void *&slot : slots_) {
        slot = nullptr;
    }
    if (basic_suite_ == nullptr) {
        MissingSuiteError();
    }
}

AEGP_SuiteHandler::~AEGP_SuiteHandler() { ReleaseAllSuites(); }

const void *AEGP_SuiteHandler::AcquireRow(int row) const {
    const SuiteRow *entry = TableRow(row);
    if (entry == nullptr) {
        MissingSuiteError();
    }
    const void *&slot = slots_[row - 1];
    if (slot != nullptr) {
        return slot;
    }
    if (basic_suite_->AcquireSuite == nullptr) {
        MissingSuiteError();
    }
    const void *suite = nullptr;
    const SPErr err = basic_suite_->AcquireSuite(entry->name, entry->version, &suite);
    if (err != 0 || suite == nullptr) {
        /* A suite handed out together with an error code counts as missing;
         * it goes straight back, so the host is not left lending it. The
         * host's own code is not passed on: every failure is 516. */
        if (suite != nullptr && basic_suite_->ReleaseSuite != nullptr) {
            (void)basic_suite_->ReleaseSuite(entry->name, entry->version);
        }
        MissingSuiteError();
    }
    slot = suite;
    return slot;
}

const void *AEGP_SuiteHandler::Suite(int row) const { return AcquireRow(row); }

AEGP_UtilitySuite7 *AEGP_SuiteHandler::UtilitySuiteV7() const {
    return AsSuite<AEGP_UtilitySuite7>(AcquireRow(kUtilitySuiteV7Row));
}

PF_HandleSuite2 *AEGP_SuiteHandler::HandleSuiteV2() const {
    return AsSuite<PF_HandleSuite2>(AcquireRow(kHandleSuiteV2Row));
}

PF_Iterate8Suite1 *AEGP_SuiteHandler::Iterate8SuiteV1() const {
    return AsSuite<PF_Iterate8Suite1>(AcquireRow(kIterate8SuiteV1Row));
}

void AEGP_SuiteHandler::ReleaseSuite(char *name, A_long version) {
    if (basic_suite_->ReleaseSuite != nullptr) {
        (void)basic_suite_->ReleaseSuite(name, version);
    }
}

void AEGP_SuiteHandler::ReleaseAllSuites() {
    for (int row = 1; row <= kSuiteCount; ++row) {
        if (slots_[row - 1] != nullptr) {
            const SuiteRow &entry = kSuiteTable[row - 1];
            /* The host only reads the name. */
            ReleaseSuite(const_cast<char *>(entry.name), entry.version);
        }
    }
}
