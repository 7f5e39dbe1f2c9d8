// The worker's metrics as a real Prometheus sees them: Debian's prometheus scrapes
// vyrunner.cgi?metrics every second through lighttpd with basic authentication, and its query API
// shows a loopback test site up after a check run and down after the site fails and is checked
// again.
//
//   node tests/e2e/metrics_flow.mjs STAGE_DIR
//
// STAGE_DIR holds the installed programs and templates; a fresh copy of it is the instance.
// Everything listens on loopback addresses only; every wait is bounded and the whole flow ends
// within a minute. Every process started here is stopped by its pid and every temporary
// directory is removed.
import {spawn, execFileSync} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const [stageDir] = process.argv.slice(2);
if (!stageDir) {
  console.error('usage: metrics_flow.mjs STAGE_DIR');
  process.exit(2);
}
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const deadline = Date.now() + 60000;
const children = [];  // processes to stop by pid
const temporary = [];  // directories to remove

function log(text) { console.log(`metrics: ${text}`); }

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// Polls `probe` every 250 ms until it gives a value other than undefined, at most `ms` and never
// past the flow's deadline.
async function waitFor(what, ms, probe) {
  const until = Math.min(Date.now() + ms, deadline);
  while (Date.now() < until) {
    const value = await probe().catch(() => undefined);
    if (value !== undefined) return value;
    await sleep(250);
  }
  throw new Error(`timed out waiting for ${what}`);
}

// A free TCP port on 127.0.0.1.
function freePort() {
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
function get(url, headers = {}) {
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

// The test site on port 80 of a free 127.0.0.x: a page, or an error 500 while it fails.
async function startSite() {
  const site = {failing: false};
  const server = http.createServer((request, response) => {
    response.writeHead(site.failing ? 500 : 200, {'Content-Type': 'text/html'});
    response.end(site.failing ? 'Internal error' : '<html><body>Shop</body></html>');
  });
  for (let attempt = 0; attempt < 50; ++attempt) {
    const address = `127.0.0.${100 + Math.floor(Math.random() * 150)}`;
    const bound = await new Promise((resolve) => {
      server.once('error', () => resolve(false));
      server.listen(80, address, () => resolve(true));
    });
    if (bound) return Object.assign(site, {server, url: `http://${address}/`});
  }
  throw new Error('no loopback address for the test site');
}

function start(program, args) {
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
  children.push(child);
  return child;
}

// Kills every started process by its pid and waits (at most 5 s each) until it is gone.
async function stopAll() {
  for (const child of children.splice(0)) {
    try { process.kill(child.pid, 'SIGKILL'); } catch { /* already gone */ }
    await Promise.race([child.exited, sleep(5000)]);
  }
}

function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  temporary.push(dir);
  return dir;
}

// Runs the worker in the instance with the administrator's password, at most 30 s; throws unless
// it exits with `expected`. Asynchronous, so that the test site in this process can answer it.
async function worker(instance, args, input = '', expected = 0) {
  const run = spawn('./vyrunner.cgi', args, {
    cwd: instance, stdio: ['pipe', 'ignore', 'ignore'], timeout: 30000,
    env: {PATH: process.env.PATH, ADMIN_PWD: 'secret'},
  });
  run.stdin.end(input);
  const status = await new Promise((resolve) => {
    run.once('exit', resolve);
    run.once('error', () => resolve(null));
  });
  if (status !== expected) {
    throw new Error(`vyrunner.cgi ${args.join(' ')} exited ${status}, not ${expected}`);
  }
}

// The instance served by lighttpd, the worker behind basic authentication from .htpasswd.
function lighttpdConfig(instance, port) {
  return execFileSync(path.join(repo, 'scripts/lighttpd-config'), [instance, String(port)]) +
         `server.modules += ("mod_auth", "mod_authn_file")
auth.backend = "htpasswd"
auth.backend.htpasswd.userfile = "${instance}/.htpasswd"
auth.require = ("/vyrunner.cgi" => ("method" => "basic", "realm" => "Vantry",
                                    "require" => "valid-user"))
`;
}

function prometheusConfig(port) {
  return `global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: vantry
    metrics_path: /vyrunner.cgi
    params:
      metrics: ['']
    basic_auth:
      username: admin
      password: secret
    static_configs:
      - targets: ['127.0.0.1:${port}']
`;
}

// The value of vantry_url_up for the URL as Prometheus holds it now, undefined while it has none.
async function urlUp(api, url) {
  const query = encodeURIComponent(`vantry_url_up{url="${url}"}`);
  const {status, body} = await get(`${api}/api/v1/query?query=${query}`);
  const result = status === 200 ? JSON.parse(body).data.result : [];
  return result.length === 1 ? result[0].value[1] : undefined;
}

// Waits until Prometheus holds the value for the URL.
function urlUpBecomes(api, url, value) {
  return waitFor(`vantry_url_up ${value}`, 10000,
                 async () => ((await urlUp(api, url)) === value ? value : undefined));
}

async function main() {
  const started = Date.now();
  const instance = tempDir('vy-metrics-');
  fs.cpSync(stageDir, instance, {recursive: true});
  const work = tempDir('vy-metrics-run-');
  const webPort = await freePort();
  fs.writeFileSync(path.join(work, 'lighttpd.conf'), lighttpdConfig(instance, webPort));
  const lighttpd = start('lighttpd', ['-D', '-f', path.join(work, 'lighttpd.conf')]);
  const site = await startSite();
  const web = `http://127.0.0.1:${webPort}`;
  try {
    log(`the administrator made on the console's first visit (${web})`);
    await waitFor('lighttpd', 10000, async () => (await get(`${web}/vyconsole.cgi`)).status);
    const form =
        new URLSearchParams({fnct: 'update_pass', un: 'admin', pw: 'secret', pw2: 'secret'});
    await get(`${web}/vyconsole.cgi?${form}`);
    if (!fs.existsSync(path.join(instance, 'vydata/admin.pwd'))) {
      throw new Error(`no administrator: ${lighttpd.errors}`);
    }
    execFileSync('htpasswd', ['-cb', path.join(instance, '.htpasswd'), 'admin', 'secret'],
                 {stdio: 'ignore'});
    const anonymous = await get(`${web}/vyrunner.cgi?metrics`);
    if (anonymous.status !== 401) throw new Error(`a scrape without login got ${anonymous.status}`);

    log(`the site ${site.url} in a group; Prometheus scrapes every second`);
    await worker(instance, ['writegroup', 'shop'], `checktime=10\nurl=${site.url}\n`);
    const apiPort = await freePort();
    fs.writeFileSync(path.join(work, 'prometheus.yml'), prometheusConfig(webPort));
    const prometheus = start('prometheus', [
      `--config.file=${path.join(work, 'prometheus.yml')}`,
      `--storage.tsdb.path=${path.join(work, 'data')}`,
      `--web.listen-address=127.0.0.1:${apiPort}`,
    ]);
    const api = `http://127.0.0.1:${apiPort}`;
    const firstScrape = waitFor('a first scrape', 20000, () => urlUp(api, site.url));
    const seen = await firstScrape.catch((error) => {
      throw new Error(`${error.message}: ${prometheus.errors}`);
    });
    if (seen !== '0') throw new Error(`a never-checked URL shows vantry_url_up ${seen}`);

    log('a check run: the site is up');
    await worker(instance, ['check', '10', '2']);
    await urlUpBecomes(api, site.url, '1');

    log('the site fails and is checked again: down');
    site.failing = true;
    await worker(instance, ['checkurl', 'shop'], `url=${site.url}\n`, 0);  // its state: down
    await urlUpBecomes(api, site.url, '0');
    log(`passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  } finally {
    await stopAll();
    site.server.close();
  }
}

function removeTemporary() {
  for (const dir of temporary) fs.rmSync(dir, {recursive: true, force: true});
}

process.on('SIGTERM', () => {
  for (const child of children) {
    try { process.kill(child.pid, 'SIGKILL'); } catch { /* already gone */ }
  }
  removeTemporary();
  process.exit(1);
});

main().then(() => {
  removeTemporary();
  process.exit(0);
}, async (error) => {
  console.error(`metrics: FAILED: ${error.stack || error}`);
  await stopAll();
  removeTemporary();
  process.exit(1);
});
