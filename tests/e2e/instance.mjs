// What the end-to-end flows share: an installed instance copied to a temporary directory and
// served by lighttpd on a free loopback port, a test site on port 80 of a free 127.0.0.x, pages
// of another site and a chat webhook on a free 127.0.0.x, plain HTTP requests, bounded waits,
// and the clean-up.
// Every process started through here is stopped by its pid and every temporary directory
// removed, whether the flow passes, fails or is stopped by a signal.
import {spawn, execFileSync} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const processes = [];  // {pid, exited}: stopped by pid at the end
const servers = [];    // test sites, closed at the end
const temporary = [];  // directories removed at the end
let flowName = 'e2e';
let deadline = Infinity;  // no wait goes past it

export function log(text) { console.log(`${flowName}: ${text}`); }

export function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// The command-line arguments the usage line names after the program, or exit 2 with the usage.
export function argsOf(usage) {
  const wanted = usage.split(' ').length - 1;
  const given = process.argv.slice(2, 2 + wanted);
  if (given.filter(Boolean).length < wanted) {
    console.error(`usage: ${usage}`);
    process.exit(2);
  }
  return given;
}

// Polls `probe` every 250 ms until it gives a value other than undefined (a throw counts as
// none), at most `ms` and never past the flow's deadline.
export async function waitFor(what, ms, probe) {
  const until = Math.min(Date.now() + ms, deadline);
  while (Date.now() < until) {
    const value = await probe().catch(() => undefined);
    if (value !== undefined) return value;
    await sleep(250);
  }
  throw new Error(`timed out waiting for ${what}`);
}

// A free TCP port on 127.0.0.1.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const {port} = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A GET with a 5 s limit: {status, body}.
export function get(url, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.get(url, {headers, timeout: 5000}, (response) => {
      let body = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { body += chunk; });
      response.on('end', () => resolve({status: response.statusCode, body}));
    });
    request.on('timeout', () => request.destroy(new Error(`${url} timed out`)));
    request.on('error', reject);
  });
}

// A form POST (application/x-www-form-urlencoded) with a 5 s limit: {status, body}.
export function post(url, form, headers = {}) {
  const body = new URLSearchParams(form).toString();
  return new Promise((resolve, reject) => {
    const request = http.request(url, {
      method: 'POST', timeout: 5000,
      headers: {'Content-Type': 'application/x-www-form-urlencoded',
                'Content-Length': Buffer.byteLength(body), ...headers},
    }, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { text += chunk; });
      response.on('end', () => resolve({status: response.statusCode, body: text}));
    });
    request.on('timeout', () => request.destroy(new Error(`${url} timed out`)));
    request.on('error', reject);
    request.end(body);
  });
}

// The Authorization header of basic authentication.
export function basicCredentials(user, password) {
  return {Authorization: `Basic ${Buffer.from(`${user}:${password}`).toString('base64')}`};
}

// lighttpd configuration that puts the program behind basic authentication from the
// instance's .htpasswd, for example "/vyconsole.cgi".
export function basicAuth(dir, program) {
  return `server.modules += ("mod_auth", "mod_authn_file")
auth.backend = "htpasswd"
auth.backend.htpasswd.userfile = "${dir}/.htpasswd"
auth.require = ("${program}" => ("method" => "basic", "realm" => "Vantry",
                                 "require" => "valid-user"))
`;
}

export function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  temporary.push(dir);
  return dir;
}

// Starts the program, its stderr kept (the last 2000 bytes) in `errors`.
export function start(program, args) {
  const child = spawn(program, args, {stdio: ['ignore', 'ignore', 'pipe']});
  child.errors = '';
  child.stderr.on('data', (chunk) => { child.errors = (child.errors + chunk).slice(-2000); });
  child.exited = new Promise((resolve) => {
    child.once('exit', resolve);
    child.once('error', (error) => {
      child.errors += error.message;
      resolve();
    });
  });
  processes.push(child);
  return child;
}

// A process started elsewhere (a daemon of the instance) that is to be stopped with the others.
export function adopt(pid) {
  processes.push({pid, exited: Promise.resolve()});
}

// Binds the server to the port (0: any free one) of a free 127.0.0.x other than 127.0.0.1, and
// closes it at the end: its base URL, "http://127.0.0.x[:port]".
async function listenOnLoopback(server, port, what) {
  for (let attempt = 0; attempt < 50; ++attempt) {
    const address = `127.0.0.${100 + Math.floor(Math.random() * 150)}`;
    const bound = await new Promise((resolve) => {
      server.once('error', () => resolve(false));
      server.listen(port, address, () => resolve(true));
    });
    if (bound) {
      servers.push(server);
      const chosen = server.address().port;
      return `http://${address}${chosen === 80 ? '' : `:${chosen}`}`;
    }
  }
  throw new Error(`no loopback address for ${what}`);
}

// The test site on port 80 of a free 127.0.0.x: `page`, or an error 500 while `failing` is set.
export async function startSite(page) {
  const site = {failing: false};
  const server = http.createServer((request, response) => {
    response.writeHead(site.failing ? 500 : 200, {'Content-Type': 'text/html'});
    response.end(site.failing ? '<html><body>Internal error</body></html>' : page);
  });
  return Object.assign(site, {url: `${await listenOnLoopback(server, 80, 'the test site')}/`});
}

// Another site on a free port of a free 127.0.0.x: the HTML of `pages[path]` (404 for any other
// path). Returns its base URL.
export function startPages(pages) {
  const server = http.createServer((request, response) => {
    const page = pages[new URL(request.url, 'http://any').pathname];
    response.writeHead(page === undefined ? 404 : 200, {'Content-Type': 'text/html'});
    response.end(page ?? '');
  });
  return listenOnLoopback(server, 0, 'a page server');
}

// A chat service's webhook on a free port of a free 127.0.0.x: every request it gets is kept in
// `received` ({method, path, type, body}) and answered 200. Returns {url (its base URL),
// received}.
export async function startWebhook() {
  const received = [];
  const server = http.createServer((request, response) => {
    let body = '';
    request.setEncoding('utf8');
    request.on('data', (chunk) => { body += chunk; });
    request.on('end', () => {
      received.push({method: request.method, path: request.url,
                     type: request.headers['content-type'] ?? '', body});
      response.writeHead(200, {'Content-Type': 'text/plain'});
      response.end('ok');
    });
  });
  return {url: await listenOnLoopback(server, 0, 'a webhook'), received};
}

// Binds a server the flow made itself (an https one, say) to the port of a free 127.0.0.x other
// than 127.0.0.1, and closes it at the end. Returns the address, "127.0.0.x".
export async function listenOnFreeLoopback(server, port, what) {
  return new URL(await listenOnLoopback(server, port, what)).hostname;
}

// A fresh copy of the installed instance in STAGE_DIR, served by lighttpd on a free port of
// 127.0.0.1 with the configuration of scripts/lighttpd-config and `extraConfig(dir)` after it.
// Returns once the console answers: {dir, work (a temporary directory for the flow's own
// files), port, url (of the server), lighttpd, accessLog (lighttpd's log of every request, in
// work)}.
export async function startInstance(stageDir, prefix, extraConfig = () => '') {
  const dir = tempDir(`${prefix}-`);
  fs.cpSync(stageDir, dir, {recursive: true});
  return serveInstance(dir, prefix, extraConfig);
}

// The instance in `dir` served by one more lighttpd, as startInstance does.
export async function serveInstance(dir, prefix, extraConfig = () => '') {
  const work = tempDir(`${prefix}-run-`);
  const port = await freePort();
  const config = path.join(work, 'lighttpd.conf');
  const accessLog = path.join(work, 'access.log');
  fs.writeFileSync(config, execFileSync(path.join(repo, 'scripts/lighttpd-config'),
                                        [dir, String(port), '127.0.0.1', accessLog]) +
                               extraConfig(dir));
  const lighttpd = start('lighttpd', ['-D', '-f', config]);
  const url = `http://127.0.0.1:${port}`;
  await waitFor(`lighttpd on ${url}`, 10000,
                async () => (await get(`${url}/vyconsole.cgi`)).status).catch((error) => {
    throw new Error(`${error.message}: ${lighttpd.errors}`);
  });
  return {dir, work, port, url, lighttpd, accessLog};
}

function killAll() {
  for (const {pid} of processes) {
    try { process.kill(pid, 'SIGKILL'); } catch { /* already gone */ }
  }
}

function removeTemporary() {
  for (const dir of temporary) fs.rmSync(dir, {recursive: true, force: true});
}

// Kills every process by its pid and waits (at most 5 s each) until it is gone, closes the test
// sites and removes the temporary directories.
async function cleanUp() {
  killAll();
  for (const {exited} of processes.splice(0)) await Promise.race([exited, sleep(5000)]);
  for (const server of servers.splice(0)) server.close();
  removeTemporary();
}

// Runs the flow, its waits bounded by `limit` ms in all, and exits 0 when it passes, 1 when it
// fails or a signal stops it, after the clean-up.
export function run(name, main, limit = Infinity) {
  flowName = name;
  deadline = Date.now() + limit;
  for (const signal of ['SIGTERM', 'SIGINT']) {
    process.once(signal, () => {
      killAll();
      removeTemporary();
      process.exit(1);
    });
  }
  main().then(async () => {
    await cleanUp();
    process.exit(0);
  }, async (error) => {
    console.error(`${flowName}: FAILED: ${error.stack || error}`);
    await cleanUp();
    process.exit(1);
  });
}
