#include "outbox/Schema.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include "outbox/Dispatcher.h"
#include "outbox/OutboxTestSupport.h"

using namespace kavar;
using kavar::test::Count;
using kavar::test::Rows;

namespace {

const std::string kPk =
    "([ID] ASC)WITH (PAD_INDEX = OFF, STATISTICS_NORECOMPUTE = OFF, IGNORE_DUP_KEY = OFF, "
    "ALLOW_ROW_LOCKS = ON, ALLOW_PAGE_LOCKS = ON) ON [PRIMARY]";

TEST(TSqlSchema, StatementsAreTheInstallersTextsInOrder) {
    const auto& s = outbox::TSqlSchema();
    ASSERT_EQ(s.Tables.size(), 15u);
    ASSERT_EQ(s.Defaults.size(), 9u);
    ASSERT_EQ(s.LateColumns.size(), 17u);
    for (const std::string& statement : s.All())
        EXPECT_EQ(statement.find('\n'), std::string::npos) << statement;

    EXPECT_EQ(s.Tables[0],
              "IF NOT EXISTS (SELECT * FROM sys.objects WHERE object_id = "
              "OBJECT_ID(N'[dbo].[Error_Message]') AND type in (N'U'))\r"
              "CREATE TABLE [dbo].[Error_Message](\r"
              "  [ID] [int] IDENTITY(1,1) NOT NULL,\r"
              "  [Error_Number] [int] NULL,\r"
              "  [Message] [text] NULL,\r"
              "  [DateTime] [varchar](50) NULL,\r"
              " CONSTRAINT [PK_Error_Message] PRIMARY KEY CLUSTERED\r" +
                  kPk + "\r) ON [PRIMARY] TEXTIMAGE_ON [PRIMARY]");
    // An outbox table: no key, so its last column line has no comma.
    EXPECT_NE(s.Tables[3].find("CREATE TABLE [dbo].[Outbox_High_Auto](\r  [ID] [int] NOT NULL,\r"),
              std::string::npos);
    EXPECT_NE(s.Tables[3].find(
                  "  [SmsID] [int] NULL,\r  [RowID] [int] IDENTITY(1,1) NOT NULL\r) ON [PRIMARY]"),
              std::string::npos);
    EXPECT_EQ(s.Tables[4],
              "IF NOT EXISTS(SELECT 1 FROM sys.columns WHERE Name = N'RowID' AND OBJECT_ID = "
              "OBJECT_ID(N'Outbox_High_Auto')) \r   ALTER TABLE Outbox_High_Auto ADD RowID INT "
              "IDENTITY(1,1) ");
    // Sent_Item gets IsNotValid from the late-column step only.
    EXPECT_NE(s.Tables[10].find("  [SmsID] [int] NULL,\r CONSTRAINT [PK_SMS_Group_Sent]"),
              std::string::npos);
    EXPECT_EQ(s.Tables[10].find("IsNotValid"), std::string::npos);

    EXPECT_EQ(s.Defaults[2],
              "IF (OBJECT_ID(N'DF_Outbox_Low_Auto_ServiceLine') IS NULL)\rALTER TABLE "
              "[dbo].[Outbox_Low_Auto] ADD  CONSTRAINT [DF_Outbox_Low_Auto_ServiceLine]  DEFAULT "
              "((1)) FOR [serviceLine]");
    EXPECT_EQ(s.Defaults[6],
              "IF (OBJECT_ID(N'DF_Outbox_High_Auto_Send_Number_Try') IS NULL)\rALTER TABLE "
              "[dbo].[Outbox_High_Auto] ADD  CONSTRAINT [DF_Outbox_High_Auto_Send_Number_Try]  "
              "DEFAULT ((0)) FOR [Send_Number_Try]");
    EXPECT_EQ(s.LateColumns[0],
              "IF COL_LENGTH('Outbox_Low_Auto', 'ResultCode') IS NULL\rALTER TABLE "
              "Outbox_Low_Auto  ADD ResultCode INT\tNULL");
    EXPECT_EQ(s.LateColumns[15],
              "IF COL_LENGTH('Sent_Item', 'IsNotValid') IS NULL\rALTER TABLE Sent_Item  ADD "
              "IsNotValid BIT\tNULL");
    EXPECT_EQ(s.DropProcedure,
              "IF  EXISTS (SELECT * FROM sys.objects WHERE object_id = "
              "OBJECT_ID(N'[dbo].[SendedSMSMoveToSendItem]') AND type in (N'P', N'PC'))\tDROP "
              "PROCEDURE [dbo].[SendedSMSMoveToSendItem]");

    // The procedure's fixed pieces, in this order.
    std::size_t at = 0;
    for (const char* piece :
         {"CREATE PROCEDURE [dbo].[SendedSMSMoveToSendItem]",
          "@SrcTblName VARCHAR(30)",
          "@SrcID INT",
          "DECLARE @SQL VARCHAR(5000)",
          "BEGIN TRY",
          "BEGIN TRANSACTION",
          "INSERT INTO [dbo].[Sent_Item]",
          "Getdate() as Send_Date",
          "FROM   [dbo].['+@SrcTblName+']",
          "WHERE  RowID = '+CAST(@SrcID as VARCHAR)+'",
          "DELETE FROM [dbo].['+@SrcTblName+'] WHERE  RowID = '+CAST(@SrcID as VARCHAR)+'",
          "COMMIT TRAN",
          "BEGIN CATCH",
          "IF @@TRANCOUNT > 0",
          "ROLLBACK TRAN",
          "NVARCHAR(4000)",
          "ERROR_MESSAGE()",
          "ERROR_SEVERITY()",
          "ERROR_STATE()",
          "RAISERROR(@ErrorMessage, @ErrorSeverity, @ErrorState);",
          "END CATCH",
          "EXEC(@SQL)"}) {
        std::size_t found = s.CreateProcedure.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece;
        at = found + 1;
    }
}

TEST(TSqlSchema, DatabaseCreationQuotesOnlyWhereItShould) {
    EXPECT_EQ(outbox::TSqlDatabaseExistsQuery("O'Hara"),
              "SELECT * FROM master..sysdatabases WHERE [name] ='O''Hara'");
    auto s = outbox::TSqlCreateDatabase("Kavar_SMS");
    ASSERT_EQ(s.size(), 30u);
    EXPECT_EQ(s[0], "CREATE DATABASE [Kavar_SMS]");
    EXPECT_EQ(s[1], "ALTER DATABASE [Kavar_SMS] SET COMPATIBILITY_LEVEL = 100");
    EXPECT_EQ(s[2],
              "IF (1 = FULLTEXTSERVICEPROPERTY('IsFullTextInstalled'))\r   EXEC "
              "[Kavar_SMS].[dbo].[sp_fulltext_database] @action = 'enable'");
    EXPECT_EQ(s[3], "ALTER DATABASE [Kavar_SMS] SET ANSI_NULL_DEFAULT OFF");
    EXPECT_EQ(s[12], "ALTER DATABASE [Kavar_SMS] SET CURSOR_DEFAULT  GLOBAL");
    EXPECT_EQ(s[17], "ALTER DATABASE [Kavar_SMS] SET  DISABLE_BROKER");
    EXPECT_EQ(s[26], "ALTER DATABASE [Kavar_SMS] SET  MULTI_USER");
    EXPECT_EQ(s[28], "ALTER DATABASE [Kavar_SMS] SET DB_CHAINING OFF");
    EXPECT_EQ(outbox::TSqlCreateDatabase("O'Hara")[29],
              "EXEC sys.sp_db_vardecimal_storage_format N'O''Hara', N'ON'");
}

// Column names of a T-SQL table statement ("\r  [Name] " lines) plus the columns its
// late-column steps add.
std::vector<std::string> TSqlColumns(const std::string& table) {
    const auto& s = outbox::TSqlSchema();
    std::vector<std::string> columns;
    auto add = [&](const std::string& c) {
        if (std::find(columns.begin(), columns.end(), c) == columns.end()) columns.push_back(c);
    };
    for (const std::string& statement : s.Tables) {
        if (statement.find("CREATE TABLE [dbo].[" + table + "](") == std::string::npos) continue;
        for (std::size_t at = statement.find("\r  ["); at != std::string::npos;
             at = statement.find("\r  [", at + 1))
            add(statement.substr(at + 4, statement.find(']', at) - at - 4));
    }
    const std::string late = "IF COL_LENGTH('" + table + "', '";
    for (const std::string& statement : s.LateColumns)
        if (statement.rfind(late, 0) == 0)
            add(statement.substr(late.size(), statement.find('\'', late.size()) - late.size()));
    return columns;
}

// "Mon dd yyyy hh:miAM": letters, digits and blanks where the server's text has them.
bool LooksLikeServerDateTime(const std::string& text) {
    const std::string shape = "Aaa D9 9999 D9:99AM";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        char c = text[i], k = shape[i];
        bool ok = k == 'A'   ? (c >= 'A' && c <= 'Z')
                  : k == 'a' ? (c >= 'a' && c <= 'z')
                  : k == '9' ? (c >= '0' && c <= '9')
                  : k == 'D' ? (c == ' ' || (c >= '0' && c <= '9'))
                  : k == 'M' ? c == 'M'
                             : c == k;
        if (i == 17) ok = c == 'A' || c == 'P';
        if (!ok) return false;
    }
    return true;
}

TEST(SQLiteSchema, HasTheServersTablesColumnsDefaultsAndIdentities) {
    test::TempDir dir;
    std::string path = dir.File("Kavar_SMS.sqlite");
    test::CreateOutboxDatabase(path);
    db::Connection c;
    c.OpenSQLite(path);
    outbox::InstallSchema(c);  // a second run changes nothing

    std::vector<std::string> tables;
    for (auto& row : Rows(c,
                          "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT "
                          "LIKE 'sqlite%' ORDER BY rowid"))
        tables.push_back(row[0]);
    ASSERT_EQ(tables.size(), 12u);
    for (const std::string& table : tables) {
        std::vector<std::string> columns;
        for (auto& row : Rows(c, "PRAGMA table_info([" + table + "])")) columns.push_back(row[1]);
        EXPECT_EQ(columns, TSqlColumns(table)) << table;
    }

    for (const char* table : {"Outbox_High_Auto", "Outbox_Low_Auto", "Outbox_Normal_Auto"}) {
        std::string t = table;
        c.Execute("INSERT INTO " + t + " (ID) VALUES (10)");
        c.Execute("INSERT INTO " + t + " (ID) VALUES (11)");
        c.Execute("DELETE FROM " + t + " WHERE ID = 11");
        c.Execute("INSERT INTO " + t + " (ID) VALUES (12)");
        // Defaults 0, 1, 1; RowID numbered by the database and never reused.
        EXPECT_EQ(
            Rows(c,
                 "SELECT ID, Send_Number_Try, Auto_Send, ServiceLine, ResultCode, "
                 "IsNotValid, RowID FROM " +
                     t + " ORDER BY ID"),
            (std::vector<std::vector<std::string>>{{"10", "0", "1", "1", "NULL", "NULL", "1"},
                                                   {"12", "0", "1", "1", "NULL", "NULL", "3"}}))
            << t;
    }
    // Keys refuse NULL and duplicates as the server's do.
    EXPECT_THROW(c.Execute("INSERT INTO Sent_Item (ID) VALUES (NULL)"), db::EDatabaseError);
    c.Execute("INSERT INTO Sent_Item (ID) VALUES (1)");
    EXPECT_THROW(c.Execute("INSERT INTO Sent_Item (ID) VALUES (1)"), db::EDatabaseError);
}

TEST(SQLiteSchema, MoveToSentItemKeepsTheProceduresOutcomes) {
    test::TempDir dir;
    std::string path = dir.File("Kavar_SMS.sqlite");
    test::CreateOutboxDatabase(path);
    db::Connection c;
    c.OpenSQLite(path);
    outbox::PrepareConnection(c);
    c.Execute(
        "INSERT INTO Outbox_High_Auto (ID, CustomerID, Mobile_Number, Message, Send_Number_Try, "
        "Auto_Send, ServiceLine, ResultCode, DeliveyCode, IsNotValid, SmsID) VALUES "
        "(7, 'C-1', '09120000001', 'first', 3, 0, 2, 0, 4, 0, 5521),"
        "(8, 'C-2', '09120000002', 'no id', 1, 1, 1, 0, NULL, NULL, NULL),"
        "(9, 'C-3', '09120000003', 'same id', 1, 1, 1, 0, NULL, NULL, 5521)");
    auto move = [&](int rowId) {
        try {
            c.Execute(outbox::SendedSMSMoveToSendItemSql("Outbox_High_Auto", rowId));
        } catch (const db::EDatabaseError& e) {
            return std::string(e.what());
        }
        return std::string();
    };

    EXPECT_EQ(move(1), "");
    auto sent = Rows(c, "SELECT * FROM Sent_Item");
    ASSERT_EQ(sent.size(), 1u);
    std::string sendDate = sent[0][7];
    EXPECT_TRUE(LooksLikeServerDateTime(sendDate)) << sendDate;
    sent[0][7] = "<date>";
    // ID from SmsID; Send_Status, Sms_Index, Delivery_Status, Delivery_Date, IsNotValid NULL.
    EXPECT_EQ(sent[0], (std::vector<std::string>{"5521", "C-1", "09120000001", "first", "3", "NULL",
                                                 "NULL", "<date>", "NULL", "NULL", "0", "2", "0",
                                                 "4", "5521", "NULL"}));
    EXPECT_EQ(Count(c, "Outbox_High_Auto"), 2);

    EXPECT_EQ(move(99), "");  // no such row: nothing happens
    EXPECT_EQ(move(2), "NOT NULL constraint failed: Sent_Item.ID");
    EXPECT_EQ(move(3), "UNIQUE constraint failed: Sent_Item.ID");
    EXPECT_EQ(Count(c, "Sent_Item"), 1);
    EXPECT_EQ(Rows(c, "SELECT RowID FROM Outbox_High_Auto ORDER BY RowID"),
              (std::vector<std::vector<std::string>>{{"2"}, {"3"}}));
    // Each failed move left no transaction open behind it.
    c.Execute("BEGIN");
    c.Execute("COMMIT");
}

TEST(SQLiteSchema, SendDateReadsLikeTheServersDefaultText) {
    setenv("TZ", "UTC", 1);
    tzset();
    struct {
        std::int64_t at;
        const char* text;
    } cases[] = {
        {1733043900, "Dec  1 2024  9:05AM"},  // 2024-12-01 09:05
        {1704069000, "Jan  1 2024 12:30AM"},  // 00:30
        {1718712000, "Jun 18 2024 12:00PM"},  // noon
        {1735689540, "Dec 31 2024 11:59PM"},
    };
    for (const auto& c : cases) EXPECT_EQ(outbox::ServerDateTimeText(c.at), c.text);
}

}  // namespace
