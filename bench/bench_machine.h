/* What the benches that run vek-machine and qel-agent as child processes share: starting and
 * reaping children, polling with a bound, and finding and ending the machine's FUSE mount. */
#ifndef VEK_BENCH_MACHINE_H
#define VEK_BENCH_MACHINE_H

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace bench_machine {

inline std::string slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream s;
	s << f.rdbuf();
	return s.str();
}

/* Polls cond every 10 ms, at most limit times: a bound for a hung child, not a timing
 * assumption. */
template <class F> bool eventually(F cond, int limit)
{
	for (int i = 0; i < limit; i++) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return cond();
}

/* The FUSE connection number (device minor) of the mount at dir; -1 when not mounted. */
inline int fuse_connection(const std::string &dir)
{
	std::ifstream f("/proc/self/mountinfo");
	for (std::string line; std::getline(f, line);) {
		std::istringstream in(line);
		std::string id, parent, devno, root, point;
		in >> id >> parent >> devno >> root >> point;
		if (point == dir) {
			auto colon = devno.find(':');
			return colon == std::string::npos ? 0 : std::atoi(devno.c_str() + colon + 1);
		}
	}
	return -1;
}

/* Fails every request still in the connection of the FUSE mount at dir. */
inline void abort_connection(const std::string &dir)
{
	int conn = fuse_connection(dir);
	if (conn > 0)
		std::ofstream("/sys/fs/fuse/connections/" + std::to_string(conn) + "/abort") << "1";
}

/* A child in a process group of its own, so that a terminal's stop signals reach only the
 * bench and its keeper stops the children in order (a machine stopped beside an agent still
 * holding its session does not end); its signals at their defaults (the keeper ignores the
 * stop signals) and none blocked; its stdout and stderr go to out, or nowhere. -1 when it
 * cannot be started. */
inline pid_t spawn(std::vector<std::string> args, const std::string &out)
{
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 1, out.empty() ? "/dev/null" : out.c_str(),
					 O_WRONLY | O_CREAT | O_TRUNC, 0644);
	posix_spawn_file_actions_adddup2(&fa, 1, 2);
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	sigset_t none, stops;
	sigemptyset(&none);
	sigemptyset(&stops);
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
		sigaddset(&stops, sig);
	posix_spawnattr_setsigmask(&at, &none);
	posix_spawnattr_setsigdefault(&at, &stops);
	posix_spawnattr_setpgroup(&at, 0);
	posix_spawnattr_setflags(&at,
				 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
	pid_t pid = -1;
	if (posix_spawnp(&pid, argv[0], &fa, &at, argv.data(), environ) != 0)
		pid = -1;
	posix_spawnattr_destroy(&at);
	posix_spawn_file_actions_destroy(&fa);
	return pid;
}

/* Runs args to its end; its exit status, or -1. Its output goes to out, or nowhere. */
inline int run_quiet(std::vector<std::string> args, const std::string &out = "")
{
	pid_t pid = spawn(std::move(args), out);
	int st = 0;
	if (pid < 0 || waitpid(pid, &st, 0) != pid)
		return -1;
	return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

/* Reaps pid, polling limit times 10 ms apart; pid becomes -1 once it is reaped, and *status
 * (when given) holds its wait status. */
inline bool reap(pid_t &pid, int limit, int *status = nullptr)
{
	int st = 0;
	bool gone = eventually([&] { return waitpid(pid, &st, WNOHANG) == pid; }, limit);
	if (gone) {
		pid = -1;
		if (status)
			*status = st;
	}
	return gone;
}

/* Starts vek-machine with `options` (after the program; --dev dir and --log log are added) and
 * waits until it serves dir; its output goes to out. machine is the running child, or -1 once
 * it is gone; false with why set when it does not serve (a child left running is the caller's
 * to end). */
inline bool start_machine(std::vector<std::string> options, const std::string &dir,
			  const std::string &log, const std::string &out, pid_t &machine,
			  std::string &why)
{
	std::vector<std::string> args = {VEK_MACHINE_PATH};
	args.insert(args.end(), options.begin(), options.end());
	args.insert(args.end(), {"--dev", dir, "--log", log});
	machine = spawn(args, out);
	if (machine < 0) {
		why = "cannot start " + std::string(VEK_MACHINE_PATH);
		return false;
	}
	bool exited = false;
	bool ready = eventually(
		[&] {
			exited = waitpid(machine, nullptr, WNOHANG) == machine;
			return exited || access((dir + "/vekdriver").c_str(), F_OK) == 0;
		},
		3000);
	if (exited) {
		machine = -1;
		why = "vek-machine exited during start-up:\n" + slurp(out) + slurp(log);
		return false;
	}
	if (!ready) {
		why = "vek-machine did not serve " + dir;
		return false;
	}
	return true;
}

/* Ends the machine child and its mount at dir; true when the mount is gone. */
inline bool stop_machine(pid_t &machine, const std::string &dir)
{
	if (machine > 0) {
		kill(machine, SIGTERM);
		if (!reap(machine, 1000)) {
			// Killed, the machine's end of the connection closes and every request
			// still in it fails; the abort is for threads of its own that wait on its
			// mount.
			abort_connection(dir);
			kill(machine, SIGKILL);
			waitpid(machine, nullptr, 0);
			machine = -1;
		}
	}
	if (fuse_connection(dir) >= 0 && run_quiet({"fusermount3", "-u", dir}) != 0) {
		abort_connection(dir);
		run_quiet({"fusermount3", "-u", "-z", dir});
	}
	return fuse_connection(dir) < 0;
}

/* In the bench: tells the keeper (through tmp/agents) which agents run now, so that it can
 * stop them first when the bench dies. */
inline void note_agents(const std::string &tmp, const std::vector<pid_t> &pids)
{
	std::string list;
	for (pid_t p : pids)
		list += std::to_string(p) + "\n";
	std::string part = tmp + "/agents.new";
	std::ofstream(part) << list;
	rename(part.c_str(), (tmp + "/agents").c_str());
}

// The keeper: a process forked before any thread starts that owns what a bench sets up and
// takes it down once the bench closes its end of a pipe (at the end of main, or when the
// bench dies in any way). In the keeper, launch(reply) sets up and fills reply with what the
// bench is to know, or with why it failed (and returns false); cleanup() takes it all down
// and gives the keeper's exit status.
class keeper_link {
public:
	// In the bench: forks the keeper and returns its reply in *reply; false with why set
	// when the fork or the pipes failed.
	template <class Launch, class Cleanup>
	bool start(Launch launch, Cleanup cleanup, std::string *reply, std::string &why)
	{
		int ctl[2], result[2];
		if (pipe2(ctl, O_CLOEXEC) != 0 || pipe2(result, O_CLOEXEC) != 0) {
			why = std::string("pipe: ") + strerror(errno);
			return false;
		}
		fflush(nullptr);	/* nothing buffered printed twice */
		keeper_ = fork();
		if (keeper_ < 0) {
			why = std::string("fork: ") + strerror(errno);
			return false;
		}
		if (keeper_ == 0) {
			close(ctl[1]);
			close(result[0]);
			keep(ctl[0], result[1], launch, cleanup);
		}
		close(ctl[0]);
		close(result[1]);
		ctl_ = ctl[1];
		char buf[4096];
		for (ssize_t n; (n = read(result[0], buf, sizeof(buf))) != 0;)
			if (n > 0)
				reply->append(buf, (size_t)n);
			else if (errno != EINTR)
				break;
		close(result[0]);
		return true;
	}

	// In the bench: lets the keeper clean up and waits for it; true when all went.
	bool finish()
	{
		if (ctl_ >= 0)
			close(ctl_);
		ctl_ = -1;
		int st = 0;
		if (keeper_ <= 0 || waitpid(keeper_, &st, 0) != keeper_)
			return false;
		keeper_ = -1;
		return WIFEXITED(st) && WEXITSTATUS(st) == 0;
	}

private:
	template <class Launch, class Cleanup>
	[[noreturn]] static void keep(int ctl, int result, Launch &launch, Cleanup &cleanup)
	{
		// A terminal's stop signals reach the bench's process group, the keeper's too:
		// it outlives the bench to clean up after it.
		for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
			signal(sig, SIG_IGN);
		std::string reply;
		bool ok = launch(reply);
		if (write(result, reply.data(), reply.size()) < 0) {
			/* the bench is gone: the clean-up below is all that is left */
		}
		close(result);
		char c;
		while (ok && (read(ctl, &c, 1) > 0 || errno == EINTR)) {
		}
		_exit(cleanup() ? 0 : 1);
	}

	pid_t keeper_ = -1;
	int ctl_ = -1;	/* the bench's end of the keeper's pipe */
};

}  // namespace bench_machine

#endif
