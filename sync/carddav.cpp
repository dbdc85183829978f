#include "carddav.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

using namespace Qt::StringLiterals;

namespace vinzal::carddav {

namespace {

const QString dav = u"DAV:"_s;
const QString cardNs = u"urn:ietf:params:xml:ns:carddav"_s;
const QString calendarServer = u"http://calendarserver.org/ns/"_s;

int statusOfLine(const QString& line)
{
    // "HTTP/1.1 404 Not Found"
    const QStringList words = line.simplified().split(u' ');
    return words.size() >= 2 ? words.at(1).toInt() : 0;
}

// The text of the element the reader stands on, and of every element inside it.
QString elementText(QXmlStreamReader& xml)
{
    return xml.readElementText(QXmlStreamReader::IncludeChildElements);
}

// The href inside the element the reader stands on.
QString hrefInside(QXmlStreamReader& xml)
{
    QString href;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"href"_s && xml.namespaceUri() == dav)
            href = elementText(xml).trimmed();
        else
            xml.skipCurrentElement();
    }
    return href;
}

void readProp(QXmlStreamReader& xml, Entry& entry, const QUrl& base)
{
    while (xml.readNextStartElement()) {
        const auto name = xml.name();
        if (name == u"getetag"_s) {
            entry.etag = elementText(xml).trimmed().toUtf8();
        } else if (name == u"address-data"_s) {
            entry.data = elementText(xml).toUtf8();
        } else if (name == u"resourcetype"_s) {
            while (xml.readNextStartElement()) {
                entry.types.append(xml.name().toString());
                xml.skipCurrentElement();
            }
        } else if (name == u"current-user-principal"_s) {
            if (const QString href = hrefInside(xml); !href.isEmpty())
                entry.principal = decodedPath(href, base);
        } else if (name == u"addressbook-home-set"_s) {
            if (const QString href = hrefInside(xml); !href.isEmpty())
                entry.home = decodedPath(href, base);
        } else if (name == u"displayname"_s) {
            entry.name = elementText(xml).trimmed();
        } else if (name == u"sync-token"_s) {
            entry.syncToken = elementText(xml).trimmed();
        } else {
            xml.skipCurrentElement();
        }
    }
}

} // namespace

QString decodedPath(const QString& href, const QUrl& base)
{
    const QUrl url = base.resolved(QUrl::fromEncoded(href.toUtf8()));
    return url.path(QUrl::FullyDecoded);
}

MultiStatus parseMultiStatus(const QByteArray& body, const QUrl& base)
{
    MultiStatus result;
    QXmlStreamReader xml(body);
    if (!xml.readNextStartElement() || xml.name() != u"multistatus"_s)
        return result;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"sync-token"_s) {
            result.syncToken = elementText(xml).trimmed();
            continue;
        }
        if (xml.name() != u"response"_s) {
            xml.skipCurrentElement();
            continue;
        }
        Entry entry;
        int propStatus = 0;
        while (xml.readNextStartElement()) {
            const auto name = xml.name();
            if (name == u"href"_s) {
                entry.path = decodedPath(elementText(xml).trimmed(), base);
            } else if (name == u"status"_s) {
                entry.status = statusOfLine(elementText(xml));
            } else if (name == u"propstat"_s) {
                Entry found;
                int status = 0;
                while (xml.readNextStartElement()) {
                    if (xml.name() == u"prop"_s)
                        readProp(xml, found, base);
                    else if (xml.name() == u"status"_s)
                        status = statusOfLine(elementText(xml));
                    else
                        xml.skipCurrentElement();
                }
                if (status >= 200 && status < 300) {
                    propStatus = status;
                    if (!found.etag.isEmpty())
                        entry.etag = found.etag;
                    if (!found.data.isEmpty())
                        entry.data = found.data;
                    entry.types += found.types;
                    if (!found.principal.isEmpty())
                        entry.principal = found.principal;
                    if (!found.home.isEmpty())
                        entry.home = found.home;
                    if (!found.name.isEmpty())
                        entry.name = found.name;
                    if (!found.syncToken.isEmpty())
                        entry.syncToken = found.syncToken;
                }
            } else {
                xml.skipCurrentElement();
            }
        }
        if (entry.status == 0)
            entry.status = propStatus ? propStatus : 200;
        result.entries.append(entry);
    }
    result.valid = !xml.hasError();
    return result;
}

Client::Client(const QString& user, const QString& password)
{
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    if (!user.isEmpty())
        m_authorization = "Basic " + (user.toUtf8() + ':' + password.toUtf8()).toBase64();
}

Client::~Client() = default;

Response Client::send(const QByteArray& method, const QUrl& start, const QByteArray& body,
                      const QList<std::pair<QByteArray, QByteArray>>& headers)
{
    Response response;
    QUrl url = start;
    // Redirects are followed by hand, keeping the method and the body (a PROPFIND that became a
    // GET would answer something else); at most a few, and never from HTTPS to HTTP.
    for (int hop = 0; hop < 5; ++hop) {
        QNetworkRequest request(url);
        // A server may think for minutes before its first byte (Radicale indexing a large address book
        // for the first time); the user can cancel at any moment.
        request.setTransferTimeout(600000);
        if (!m_authorization.isEmpty())
            request.setRawHeader("Authorization", m_authorization);
        for (const auto& [name, value] : headers)
            request.setRawHeader(name, value);
        if (!body.isEmpty() && !request.hasRawHeader("Content-Type"))
            request.setRawHeader("Content-Type", "application/xml; charset=utf-8");
        QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
        QStringList sslProblems;
        QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                         [&sslProblems](const QList<QSslError>& errors) {
                             for (const QSslError& error : errors)
                                 sslProblems.append(error.errorString());
                         });
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, reply, [this, reply] {
            if (cancelled())
                reply->abort();
        });
        poll.start(50);
        if (!reply->isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        poll.stop();
        response = Response{};
        response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        response.body = reply->readAll();
        for (const auto& [name, value] : reply->rawHeaderPairs())
            response.headers.insert(name.toLower(), value);
        const QNetworkReply::NetworkError error = reply->error();
        const QString errorText = reply->errorString();
        reply->deleteLater();
        if (cancelled()) {
            response.failure = u"interrotto"_s;
            response.cancelled = true;
            return response;
        }
        if (!sslProblems.isEmpty()) {
            response.failure =
                u"il certificato del server non è stato accettato: "_s + sslProblems.join(u"; "_s);
            return response;
        }
        if (response.status == 0) {
            response.failure = error == QNetworkReply::NoError ? u"nessuna risposta"_s : errorText;
            return response;
        }
        if (response.status == 301 || response.status == 302 || response.status == 307 ||
            response.status == 308) {
            const QUrl next = url.resolved(QUrl::fromEncoded(response.headers.value("location")));
            if (!next.isValid() || (url.scheme() == u"https"_s && next.scheme() != u"https"_s))
                return response;
            url = next;
            continue;
        }
        return response;
    }
    return response;
}

Response Client::propfind(const QUrl& url, int depth, const QByteArray& props)
{
    const QByteArray body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                            "<d:propfind xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:carddav\">"
                            "<d:prop>" +
                            props + "</d:prop></d:propfind>";
    return send("PROPFIND", url, body, {{"Depth", QByteArray::number(depth)}});
}

Response Client::report(const QUrl& url, int depth, const QByteArray& body)
{
    return send("REPORT", url, body, {{"Depth", QByteArray::number(depth)}});
}

QByteArray syncCollectionBody(const QString& token)
{
    QByteArray body;
    QXmlStreamWriter xml(&body);
    xml.writeStartDocument();
    xml.writeNamespace(dav, u"d"_s);
    xml.writeStartElement(dav, u"sync-collection"_s);
    xml.writeTextElement(dav, u"sync-token"_s, token);
    xml.writeTextElement(dav, u"sync-level"_s, u"1"_s);
    xml.writeStartElement(dav, u"prop"_s);
    xml.writeEmptyElement(dav, u"getetag"_s);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return body;
}

QByteArray multigetBody(const QList<QString>& paths, const QUrl& base)
{
    QByteArray body;
    QXmlStreamWriter xml(&body);
    xml.writeStartDocument();
    xml.writeNamespace(dav, u"d"_s);
    xml.writeNamespace(cardNs, u"c"_s);
    xml.writeStartElement(cardNs, u"addressbook-multiget"_s);
    xml.writeStartElement(dav, u"prop"_s);
    xml.writeEmptyElement(dav, u"getetag"_s);
    xml.writeEmptyElement(cardNs, u"address-data"_s);
    xml.writeEndElement();
    for (const QString& path : paths) {
        QUrl url = base;
        url.setPath(path, QUrl::DecodedMode);
        xml.writeTextElement(dav, u"href"_s, url.path(QUrl::FullyEncoded));
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return body;
}

} // namespace vinzal::carddav
