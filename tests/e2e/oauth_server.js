// An SMTP server on 127.0.0.1 that checks XOAUTH2 access tokens (npm's smtp-server), for the
// end-to-end OAuth 2.0 runs. Usage: node oauth_server.js USER TOKEN
// Prints "PORT <n>" once listening, then one JSON line per event: connect, auth, message.
'use strict';
const { SMTPServer } = require('smtp-server');

const [expectedUser, expectedToken] = process.argv.slice(2);
const report = (event) => process.stdout.write(JSON.stringify(event) + '\n');

const server = new SMTPServer({
    authMethods: ['PLAIN', 'XOAUTH2'],
    allowInsecureAuth: true,
    disabledCommands: ['STARTTLS'],
    logger: false,
    onConnect(session, callback) {
        report({ event: 'connect' });
        callback();
    },
    onAuth(auth, session, callback) {
        report({ event: 'auth', method: auth.method, user: auth.username });
        if (auth.method === 'XOAUTH2' && auth.username === expectedUser &&
            auth.accessToken === expectedToken) {
            return callback(null, { user: auth.username });
        }
        if (auth.method === 'XOAUTH2') {
            return callback(null, {
                data: { status: '401', schemes: 'bearer', scope: 'https://mail.example.test/' },
            });
        }
        return callback(new Error('Only XOAUTH2 here'));
    },
    onData(stream, session, callback) {
        const chunks = [];
        stream.on('data', (chunk) => chunks.push(chunk));
        stream.on('end', () => {
            report({
                event: 'message',
                user: session.user,
                from: session.envelope.mailFrom.address,
                to: session.envelope.rcptTo.map((r) => r.address),
                data: Buffer.concat(chunks).toString('utf8'),
            });
            callback();
        });
    },
});

server.listen(0, '127.0.0.1', () => report({ event: 'listening', port: server.server.address().port }));
process.on('SIGTERM', () => server.close(() => process.exit(0)));
