#!/usr/bin/env python3
"""Checks the Ansible example in examples/ansible offline, in four steps:

1. ansible-playbook --syntax-check and --list-hosts with the example inventory;
2. every task of the playbook and of the task files it includes: its keywords
   are task keywords, and every option it gives its module is one the module
   documents (ansible-doc -j, one call for all modules), with the documented
   choices, suboptions and required options;
3. a self-test: broken copies of the example (a misspelt option, suboption,
   choice, keyword, an option in an included file) must each fail step 2;
4. the rules that read a run's status file (status_rules.yml) and one round of
   polling (poll_round.yml), run on localhost against made-up status files.

Usage: check_playbook.py [folder]   (the example's folder, examples/ansible by default)
It connects to no PC. Exits 0 when all is well, 1 otherwise.
"""
import base64
import datetime
import difflib
import json
import os
import shutil
import subprocess
import sys
import tempfile

# Ansible's own parser tells a task's module from its keywords: run under the
# interpreter that has Ansible (Debian's python3, not necessarily the first
# python3 on the PATH).
try:
    import yaml
    from ansible.parsing.mod_args import ModuleArgsParser
    from ansible.playbook.block import Block
    from ansible.playbook.play import Play
    from ansible.playbook.task import Task
except ImportError:
    if os.environ.get("VESPLIN_CHECK_REEXEC"):
        sys.exit("check_playbook: Ansible's Python modules are missing (install the ansible package)")
    playbook_cmd = shutil.which("ansible-playbook")
    if not playbook_cmd:
        sys.exit("check_playbook: ansible-playbook is missing (install the ansible package)")
    with open(playbook_cmd, encoding="utf-8", errors="replace") as f:
        interpreter = f.readline()[2:].strip().split()
    os.environ["VESPLIN_CHECK_REEXEC"] = "1"
    os.execv(interpreter[0], interpreter + [os.path.abspath(__file__)] + sys.argv[1:])

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "ansible")
PLAYBOOK = "playbook.yml"
INVENTORY = "inventory.example.yml"

TASK_KEYWORDS = (set(Task.fattributes) - {"async_val", "loop_with"}) | {"async", "local_action", "listen"}
BLOCK_KEYWORDS = set(Block.fattributes)
PLAY_KEYWORDS = set(Play.fattributes)
TASK_LISTS = ("pre_tasks", "tasks", "post_tasks", "handlers")
INCLUDES = {"ansible.builtin.include_tasks", "ansible.builtin.import_tasks"}
# Options that stand for the free-form text of a module.
FREE_FORM = {"free_form", "free-form", "_raw_params"}
# The documented option under which a module takes any key (set_fact).
ANY_KEY = "key_value"


class LineLoader(yaml.SafeLoader):
    """Keeps the line of every mapping under the key __line__."""

    def construct_mapping(self, node, deep=False):
        mapping = super().construct_mapping(node, deep=deep)
        mapping["__line__"] = node.start_mark.line + 1
        return mapping


def load_yaml(path):
    with open(path, encoding="utf-8") as f:
        return yaml.load(f, Loader=LineLoader)


def plain(value):
    """The value without the __line__ keys."""
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items() if k != "__line__"}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def templated(value):
    return isinstance(value, str) and ("{{" in value or "{%" in value)


def fqcn(action):
    if action.startswith("ansible.legacy."):
        return "ansible.builtin." + action[len("ansible.legacy."):]
    return action if "." in action else "ansible.builtin." + action


class Checker:
    def __init__(self, folder):
        self.folder = folder
        self.problems = []
        self.tasks = []  # (where, module, args)
        self.seen = set()

    def problem(self, where, text):
        self.problems.append("%s: %s" % (where, text))

    # Collecting the tasks of the playbook and of the files it includes.

    def load(self, path):
        """The file's YAML as a list, or None with a problem noted."""
        rel = os.path.relpath(path, self.folder)
        try:
            data = load_yaml(path)
        except yaml.YAMLError as e:
            self.problem(rel, "not YAML: %s" % " ".join(str(e).split()))
            return None
        if data is None:
            return []
        if not isinstance(data, list) or not all(isinstance(item, dict) for item in data):
            self.problem(rel, "not a list of plays or tasks")
            return None
        return data

    def collect_playbook(self, name):
        path = os.path.join(self.folder, name)
        for play in self.load(path) or []:
            where = "%s:%s" % (name, play.get("__line__"))
            if "import_playbook" in play:
                self.follow(play["import_playbook"], path, where, playbook=True)
                continue
            for key in play:
                if key != "__line__" and key not in PLAY_KEYWORDS:
                    self.problem(where, "unknown play keyword '%s'" % key)
            for key in TASK_LISTS:
                self.collect_tasks(play.get(key) or [], path)

    def collect_tasks(self, tasks, path):
        rel = os.path.relpath(path, self.folder)
        for task in tasks:
            if not isinstance(task, dict):
                self.problem(rel, "a task that is not a mapping: %r" % (task,))
                continue
            where = "%s:%s" % (rel, task.get("__line__"))
            if any(k in task for k in ("block", "rescue", "always")):
                for key in task:
                    if key != "__line__" and key not in BLOCK_KEYWORDS:
                        self.problem(where, "unknown block keyword '%s'" % key)
                for key in ("block", "rescue", "always"):
                    self.collect_tasks(task.get(key) or [], path)
                continue
            name = task.get("name", "(unnamed)")
            where = "%s task '%s'" % (where, name)
            data = plain(task)
            try:
                action, args, _ = ModuleArgsParser(data).parse()
            except Exception as e:  # Ansible's own parse error, e.g. an unknown module
                self.problem(where, str(e).splitlines()[0])
                continue
            for key in data:
                if key in TASK_KEYWORDS or key == action or key.startswith("with_") or key == "action":
                    continue
                self.problem(where, "unknown task keyword '%s'%s" % (key, suggest(key, TASK_KEYWORDS)))
            module = fqcn(action)
            self.tasks.append((where, module, args))
            if module in INCLUDES:
                target = args.get("file", args.get("_raw_params"))
                if target and not templated(target):
                    self.follow(target, path, where)

    def follow(self, target, including, where, playbook=False):
        candidates = [os.path.join(os.path.dirname(including), target), os.path.join(self.folder, target)]
        found = next((p for p in candidates if os.path.isfile(p)), None)
        if not found:
            self.problem(where, "includes '%s', which does not exist" % target)
            return
        found = os.path.realpath(found)
        if found in self.seen:
            return
        self.seen.add(found)
        if playbook:
            self.collect_playbook(os.path.relpath(found, self.folder))
        else:
            self.collect_tasks(self.load(found) or [], found)

    # Checking each task's options against its module's documentation.

    def check_options(self, docs):
        for where, module, args in self.tasks:
            doc = docs.get(module)
            if not doc:
                self.problem(where, "%s has no documentation: no such module here" % module)
                continue
            self.check_args(where, module, args, doc.get("options") or {}, top=True)

    def check_args(self, where, module, args, options, top=False):
        names = {}
        for name, entry in options.items():
            names[name] = name
            for alias in entry.get("aliases") or []:
                names[alias] = name
        free_form = top and bool(FREE_FORM & set(options))
        any_key = top and ANY_KEY in options
        given = set()
        for key, value in args.items():
            if key in ("_raw_params", "_variable_params"):
                if not free_form and not any_key:
                    self.problem(where, "%s takes no free-form text" % module)
                given.add("free_form")
                continue
            if key == "_uses_shell" or any_key:
                continue
            if key not in names:
                self.problem(where, "%s has no option '%s'%s" % (module, key, suggest(key, names)))
                continue
            given.add(names[key])
            self.check_value(where, "%s option '%s'" % (module, key), value, options[names[key]])
        if any_key:
            return
        for name, entry in options.items():
            if entry.get("required") and name not in FREE_FORM and name not in given:
                self.problem(where, "%s needs the option '%s'" % (module, name))

    def check_value(self, where, what, value, entry):
        if templated(value):
            return
        choices = entry.get("choices")
        if choices and entry.get("type") not in ("bool", "list") and not isinstance(value, (list, dict)):
            if str(value) not in [str(c) for c in choices]:
                self.problem(where, "%s is '%s', not one of %s" % (what, value, ", ".join(map(str, choices))))
        sub = entry.get("suboptions")
        if sub:
            items = value if isinstance(value, list) else [value]
            for item in items:
                if isinstance(item, dict):
                    self.check_args(where, what, item, sub)


def suggest(key, names):
    close = difflib.get_close_matches(key, list(names), n=1)
    return " (did you mean '%s'?)" % close[0] if close else ""


_DOCS = {}


def module_docs(modules):
    """The documentation of each module, from one ansible-doc call for all not yet known."""
    wanted = sorted(set(modules) - set(_DOCS))
    if wanted:
        out = subprocess.run(["ansible-doc", "-j"] + wanted, capture_output=True, text=True, env=ansible_env())
        found = json.loads(out.stdout or "{}") if out.returncode == 0 else {}
        for module in wanted:
            _DOCS[module] = (found.get(module) or {}).get("doc")
    return _DOCS


def check_folder(folder):
    """The problems that step 2 finds in the example held by folder."""
    checker = Checker(folder)
    checker.collect_playbook(PLAYBOOK)
    checker.check_options(module_docs(m for _, m, _ in checker.tasks))
    return checker.problems, len(checker.tasks)


def ansible_env():
    env = dict(os.environ)
    env.update(ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_LOCALHOST_WARNING="0",
               ANSIBLE_INVENTORY_UNPARSED_WARNING="0", ANSIBLE_DEPRECATION_WARNINGS="0")
    return env


def run(cmd, cwd=None):
    out = subprocess.run(cmd, capture_output=True, text=True, env=ansible_env(), cwd=cwd)
    return out.returncode, out.stdout + out.stderr


# Step 3: each broken copy names the file, the text to break, what breaks it
# and the words the problem must hold.
MUTATIONS = [
    ("playbook.yml", "logon_type: interactive_token", "logon_typ: interactive_token", "no option 'logon_typ'"),
    ("playbook.yml", "working_directory:", "working_dir:", "no option 'working_dir'"),
    ("playbook.yml", "logon_type: interactive_token", "logon_type: interactive", "is 'interactive', not one of"),
    ("playbook.yml", "fail_on_missing: false", "fail_on_missng: false", "no option 'fail_on_missng'"),
    ("playbook.yml", "changed_when: false", "changed_wehn: false", "unknown task keyword 'changed_wehn'"),
    ("poll_round.yml", "src: \"{{ vesplin_status_file }}\"", "path_: \"{{ vesplin_status_file }}\"",
     "no option 'path_'"),
    ("poll_round.yml", "ignore_unreachable: true", "ignore_unreachible: true",
     "unknown task keyword 'ignore_unreachible'"),
    ("playbook.yml", "include_tasks: poll_round.yml", "include_tasks: poll_rounds.yml", "does not exist"),
    ("playbook.yml", "ansible.builtin.fail:\n            msg: \"{{ item.item }}",
     "fail:\n            mesg: \"{{ item.item }}", "ansible.builtin.fail has no option 'mesg'"),
    ("playbook.yml", "ansible.windows.win_command: 'schtasks.exe", "ansible.windows.win_file: 'schtasks.exe",
     "ansible.windows.win_file takes no free-form text"),
    ("playbook.yml", "removes: \"{{ vesplin_exe }}\"", "remove: \"{{ vesplin_exe }}\"", "no option 'remove'"),
]


def self_test(example, tmp):
    failures = []
    for i, (name, old, new, expected) in enumerate(MUTATIONS):
        copy_dir = os.path.join(tmp, "broken%d" % i)
        shutil.copytree(example, copy_dir, ignore=shutil.ignore_patterns("fetched"))
        path = os.path.join(copy_dir, name)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if old not in text:
            failures.append("the self-test cannot find '%s' in %s to break it" % (old, name))
            continue
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new, 1))
        problems, _ = check_folder(copy_dir)
        if not any(expected in p for p in problems):
            failures.append("%s with '%s' turned into '%s' was not caught (found: %s)"
                            % (name, old, new, "; ".join(problems) or "nothing"))
    return failures


# Step 4: made-up status files, what the rules must say of each (state,
# settled, hung, words of the problem), and rounds of poll_round.yml.
def status_cases():
    now = datetime.datetime.now(datetime.timezone.utc)

    def stamp(seconds):
        return (now + datetime.timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%SZ")

    def status(state, next_update_by=None, exit_code=None):
        return {"run_id": "r1", "computer": "LAB-PC-01", "state": state, "start_utc": stamp(-7200),
                "update_utc": stamp(-3700), "end_utc": None if state == "running" else stamp(-10),
                "next_update_by": next_update_by, "cycles_done": 3, "cycles_planned": 5,
                "verdicts": {"ok": 3}, "exit_code": exit_code, "schema": 1}

    return [
        ("running, next update later", status("running", stamp(3600)), "running", False, False, ""),
        ("running, overdue within the grace", status("running", stamp(-60)), "running", False, False, ""),
        ("running, overdue past the grace", status("running", stamp(-3600)), "running", True, True, "it is hung"),
        ("running, no time promised", status("running"), "running", False, False, ""),
        ("finished", status("finished", None, 0), "finished", True, False, ""),
        ("finished with failed sleeps", status("finished", None, 2), "finished", True, False, ""),
        ("stopped", status("stopped", None, 3), "stopped", True, False, ""),
        ("refused", status("refused", None, 1), "refused", True, False, "refused the run (exit code 1)"),
        ("no status file yet", None, "absent", False, False, ""),
    ]


def status_rules_test(example, tmp):
    work = os.path.join(tmp, "rules")
    os.makedirs(work)
    rules = os.path.join(example, "status_rules.yml")
    # poll_round.yml as it is, but reading the status file with the builtin
    # slurp, which runs on localhost.
    with open(os.path.join(example, "poll_round.yml"), encoding="utf-8") as f:
        poll = f.read()
    if "ansible.windows.slurp:" not in poll:
        return ["poll_round.yml no longer reads the status with ansible.windows.slurp"]
    with open(os.path.join(work, "poll_round.yml"), "w", encoding="utf-8") as f:
        f.write(poll.replace("ansible.windows.slurp:", "ansible.builtin.slurp:"))

    tasks = []
    files = {}
    for i, (case, status, state, settled, hung, problem) in enumerate(status_cases()):
        path = os.path.join(work, "case%d.run.json" % i)
        files[case] = path
        if status is not None:
            with open(path, "w", encoding="utf-8") as f:
                json.dump(status, f)
        # What a read of the file registers (a failed read has no content).
        read = {"content": base64.b64encode(json.dumps(status).encode()).decode()} if status else {"failed": True}
        tasks.append({"name": "read: " + case, "ansible.builtin.set_fact": {"vesplin_status_read": read}})
        tasks.append({"name": "rules: " + case, "ansible.builtin.assert": {
            "that": ["vesplin_status_state == %s" % json.dumps(state),
                     "(vesplin_run_settled | bool) == %s" % str(settled).lower(),
                     "(vesplin_run_hung | bool) == %s" % str(hung).lower(),
                     ("%s in vesplin_run_problem" % json.dumps(problem)) if problem
                     else "vesplin_run_problem == ''"],
            "fail_msg": case + ": state {{ vesplin_status_state }}, settled {{ vesplin_run_settled }},"
                               " hung {{ vesplin_run_hung }}, problem '{{ vesplin_run_problem }}'"}})
    # The rules in an "until": a finished run ends the retries at once, a
    # running one uses them all up.
    tasks += [
        {"name": "until: finished", "ansible.builtin.slurp": {"src": files["finished"]},
         "register": "vesplin_status_read", "until": "vesplin_run_settled | bool", "retries": 3, "delay": 0},
        {"name": "until: finished ends at once", "ansible.builtin.assert": {
            "that": ["vesplin_status_read.attempts == 1", "vesplin_status_read is succeeded"]}},
        {"name": "until: running", "ansible.builtin.slurp": {"src": files["running, next update later"]},
         "register": "vesplin_status_read", "until": "vesplin_run_settled | bool", "retries": 2, "delay": 0,
         "ignore_errors": True},
        {"name": "until: running uses up the retries", "ansible.builtin.assert": {
            "that": ["vesplin_status_read is failed", "vesplin_status_read.content is defined"]}},
    ]
    # poll_round.yml: a hung run ends the polling in the first round; a run
    # that goes on is polled for vesplin_poll_rounds rounds and no more.
    for case, rounds, settled, problem in (("running, overdue past the grace", 1, True, "it is hung"),
                                           ("finished", 1, True, ""),
                                           ("running, next update later", 3, False, "")):
        tasks += [
            {"name": "start polling: " + case, "ansible.builtin.set_fact": {
                "vesplin_round": 0, "vesplin_settled": False, "vesplin_problem": "", "vesplin_last_status": {}}},
            {"name": "poll: " + case, "ansible.builtin.include_tasks": os.path.join(work, "poll_round.yml"),
             "vars": {"vesplin_status_file": files[case]}},
            {"name": "polled: " + case, "ansible.builtin.assert": {
                "that": ["vesplin_round | int == %d" % rounds,
                         "(vesplin_settled | bool) == %s" % str(settled).lower(),
                         ("%s in vesplin_problem" % json.dumps(problem)) if problem else "vesplin_problem == ''",
                         "vesplin_last_status.cycles_done == 3"],
                "fail_msg": case + ": round {{ vesplin_round }}, settled {{ vesplin_settled }},"
                                   " problem '{{ vesplin_problem }}'"}},
        ]
    # The fleet report's inputs: the folders of the given PCs that hold a results file.
    for host, with_results in (("pc-a", True), ("pc-b", False), ("pc-c", True)):
        os.makedirs(os.path.join(work, "fetched", host))
        if with_results:
            open(os.path.join(work, "fetched", host, "run.jsonl"), "w").close()
    tasks.append({"name": "report inputs", "ansible.builtin.assert": {
        "that": ["vesplin_report_inputs == %s" % json.dumps(
            [os.path.join(work, "fetched", "pc-a"), os.path.join(work, "fetched", "pc-c")])],
        "fail_msg": "{{ vesplin_report_inputs }}"}})

    play = [{"name": "status rules", "hosts": "localhost", "gather_facts": False,
             "vars": {"vesplin_hang_grace": 300, "vesplin_poll_retries": 1, "vesplin_poll_delay": 0,
                      "vesplin_poll_rounds": 3, "vesplin_wake_timeout": 30,
                      "vesplin_fetch_dir": os.path.join(work, "fetched"), "vesplin_results_name": "run.jsonl",
                      "vesplin_report_hosts": ["pc-a", "pc-b", "pc-c", "pc-d"]},
             "vars_files": [rules], "tasks": tasks}]
    test_play = os.path.join(work, "rules_test.yml")
    with open(test_play, "w", encoding="utf-8") as f:
        yaml.safe_dump(play, f, sort_keys=False)
    rc, out = run(["ansible-playbook", "-i", "localhost,", "-c", "local",
                   "-e", "ansible_python_interpreter=" + sys.executable, test_play])
    if rc != 0:
        failed = [line for line in out.splitlines() if "fatal:" in line or '"msg"' in line or "ERROR" in line]
        return ["the status rules' test failed:\n    " + "\n    ".join(failed or out.splitlines()[-20:])]
    return []


def main():
    failures = []
    example = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else EXAMPLE
    playbook = os.path.join(example, PLAYBOOK)
    inventory = os.path.join(example, INVENTORY)

    rc, out = run(["ansible-playbook", "--syntax-check", "-i", inventory, playbook])
    if rc != 0:
        failures.append("ansible-playbook --syntax-check failed:\n" + out)
    rc, out = run(["ansible-playbook", "--list-hosts", "-i", inventory, playbook])
    if rc != 0 or "hosts (0)" in out:
        failures.append("ansible-playbook --list-hosts failed, or found a play without hosts:\n" + out)

    problems, count = check_folder(example)
    failures += problems
    print("check_playbook: %d tasks, %d modules checked against ansible-doc: %s"
          % (count, len(_DOCS), ", ".join(sorted(_DOCS))))

    with tempfile.TemporaryDirectory() as tmp:
        caught = self_test(example, tmp)
        failures += ["self-test: " + f for f in caught]
        print("check_playbook: self-test, %d broken copies, %d not caught" % (len(MUTATIONS), len(caught)))
        rules = status_rules_test(example, tmp)
        failures += rules
        print("check_playbook: status rules and polling on localhost: %s" % ("ok" if not rules else "FAILED"))

    for failure in failures:
        print("check_playbook: " + failure, file=sys.stderr)
    print("check_playbook: %s" % ("ok" if not failures else "%d problems" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
