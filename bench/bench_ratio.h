/* Keeps the best time per iteration of every benchmark run, so that a program can print
 * ratios between runs at its end. The best repetition: the machine is shared, noise only
 * adds time. */
#ifndef VEK_BENCH_RATIO_H
#define VEK_BENCH_RATIO_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class ratio_reporter : public benchmark::ConsoleReporter {
public:
	std::map<std::string, double> ns;	/* "function/args" -> ns per iteration */
	void ReportRuns(const std::vector<Run> &runs) override
	{
		for (const Run &r : runs)
			if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
				std::string key = r.run_name.function_name + "/" + r.run_name.args;
				/* The framework gives it in the unit the case prints in. */
				double t = r.GetAdjustedRealTime() /
					   benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
				if (!ns.count(key) || t < ns[key])
					ns[key] = t;
			}
		ConsoleReporter::ReportRuns(runs);
	}
};

#endif
