// SPDX-License-Identifier: MIT
const { spawnSync } = require('child_process');
const r = spawnSync(process.argv[2], process.argv.slice(3), { stdio: 'inherit' });
if (r.error) { console.error(r.error.message); process.exit(127); }
if (r.signal) process.kill(process.pid, r.signal); // dies of it, unless node ignores it (SIGPIPE)
process.exit(r.status ?? 128 + require('os').constants.signals[r.signal]);
