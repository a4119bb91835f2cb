// queuejob: a job carried out once a front end (LPRng's command line, CUPS's) has made its
// request. Called by the front ends' mains after the job's environment is set.
#pragma once

#include "children.h"
#include "jobrequest.h"

// What a front end wants told on standard error besides the job's messages.
struct JobReports {
    // One "PAGE: n copies" line for each page handed to rastertovelnora, n counted from
    // 1, copies the times the filter prints it (CUPS's page log).
    bool bPageLines = false;
};

// Prints the request's document: the job's rc file written, the document read (and
// rendered), the pages pumped into rastertovelnora, a cancelling signal passed on. 0 or
// the exit status (see velnora-filter).
int RunJob(const JobRequest& req, SignalState* pSignals, const JobReports& reports = {});
